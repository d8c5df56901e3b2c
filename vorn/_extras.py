"""Optional dependencies: each one belongs to an extra of the vorn_gpu wheel."""
import importlib


def require(module: str, extra: str, feature: str):
    """Imports `module`, or raises ImportError naming the extra that installs it."""
    try:
        return importlib.import_module(module)
    except ImportError as e:
        top = module.split(".")[0]
        raise ImportError(f"{feature} needs the optional package '{top}', which is not "
                          f"installed: pip install 'vorn_gpu[{extra}]'") from e
