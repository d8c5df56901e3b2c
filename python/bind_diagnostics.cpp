// The engines' diagnostic lines, routed to sys.stdout / sys.stderr, and the
// module-level switch that silences them.
#include <string>

#include "core/diagnostics.h"
#include "python/bindings.h"
#include "python/docstrings.h"

namespace py = pybind11;

namespace vorn::py_bind {

namespace {

// Python objects may be touched only where the interpreter lock is held: on
// the thread that called into the module, never on an engine's workers.
bool python_can_write() { return Py_IsInitialized() != 0 && PyGILState_Check() != 0; }

void python_write(DiagStream stream, const std::string& line) {
    py::error_scope keep;  // an exception already on its way out stays as it is
    try {
        py::object file = py::module_::import("sys").attr(
            stream == DiagStream::Out ? "stdout" : "stderr");
        if (file.is_none()) return;  // e.g. pythonw: no console
        file.attr("write")(py::str(line));
        if (py::hasattr(file, "flush")) file.attr("flush")();
    } catch (py::error_already_set& e) {
        // A diagnostic must never break the computation it describes.
        e.discard_as_unraisable("vorn_gpu diagnostics");
    }
}

}  // namespace

void bind_diagnostics(py::module_& m) {
    set_diagnostic_sink(DiagnosticSink{python_write, python_can_write});
    // Lines queued by worker threads (e.g. a GPU driver's log callback during
    // a failing launch) go out before the error that ends the call; the
    // exception itself passes on untranslated.
    py::register_local_exception_translator([](std::exception_ptr p) {
        flush_diagnostics();
        if (p) std::rethrow_exception(p);
    });
    m.def("set_verbose", &set_diagnostics_enabled, py::arg("enabled"), doc::kSetVerbose);
    m.def("get_verbose", &diagnostics_enabled, doc::kGetVerbose);
}

}  // namespace vorn::py_bind
