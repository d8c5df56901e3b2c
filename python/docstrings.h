// Docstrings of the Python API, verbatim. A method without an entry here has
// no docstring.
#pragma once

namespace vorn::py_bind::doc {

constexpr const char* kNPrimitives = "Total triangle count across all instances (after build).";
constexpr const char* kGetPrimitiveAreas = "Return per-primitive areas (m\u00b2) as a numpy array.";
constexpr const char* kGetPrimitiveMatIds = "Return per-primitive material IDs as a numpy array.";
constexpr const char* kSetPrimitiveTemperatures =
    "Upload per-primitive temperatures (K). Length must equal n_primitives(). Closesthit thermal "
    "mode reads these in preference to mat.params[2..4] when set.";
constexpr const char* kClearPrimitiveTemperatures =
    "Clear the per-primitive temperature override (kernel reverts to mat.params[2..4]).";
constexpr const char* kGetPrimitiveTemperatures =
    "Return host-side per-primitive temperatures (mostly for testing).";
constexpr const char* kSetPrimitiveEmissivities =
    "Upload per-primitive longwave emissivities. Length must equal n_primitives(). Used by the EB "
    "reverse-RT kernel for \u03b5 in the Lambertian emission term \u03b5 \u03c3 T\u2074 / \u03c0.";
constexpr const char* kClearPrimitiveEmissivities = "Clear the per-primitive emissivity override.";
constexpr const char* kSetPrimitiveSifSpectra =
    "Upload per-primitive SIF emission spectra. spectra: float32[n_sif_bands * n_primitives] SoA "
    "(band-major). After upload, the backward kernel emits SIF from each hit primitive. "
    "Values are the SIF leaving the emitting face as isotropic radiance, in the image's "
    "units (e.g. W m^-2 sr^-1 nm^-1); SIF band b adds to image band b, bands beyond the "
    "scene's band count are ignored. A leaf (material type 13) emits from both faces, any "
    "other material from its front face only (the side cross(v1 - v0, v2 - v0) points to).";
constexpr const char* kClearPrimitiveSifSpectra = "Clear the per-primitive SIF emission spectra.";
constexpr const char* kSetSifOnlyMode =
    "Enable/disable SIF-only mode. When true the backward kernel returns pure SIF emission and "
    "suppresses optical reflectance (BSDF/NEE/sky). The camera then sees the SIF radiance "
    "leaving the first surface each ray hits (with the face rule of "
    "set_primitive_sif_spectra) and nothing else: no sun, sky, thermal emission or "
    "scattering; without SIF spectra the image is zero.";
constexpr const char* kSetVerbose =
    "Turns the engines' diagnostic lines (\"Forward fPAR (CPU): ...\", \"LiDAR (CPU): ...\", "
    "\"[OptiX][...] ...\" and the like) on or off for the whole module. They are on by default "
    "and written to sys.stdout or sys.stderr, so contextlib.redirect_stdout, pytest and "
    "notebooks capture them.";
constexpr const char* kGetVerbose =
    "Whether the engines' diagnostic lines are printed (see set_verbose).";

}  // namespace vorn::py_bind::doc
