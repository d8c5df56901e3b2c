// Where the engines' diagnostic lines go. Every line passes through one sink:
// by default the C streams stdout and stderr (written and flushed per line);
// the Python module installs one that writes to sys.stdout and sys.stderr, so
// that Python's own redirections and notebooks see the lines. A sink that can
// write only on some threads (Python's: only where the interpreter lock is
// held) leaves lines from other threads, such as engine workers, in a queue;
// they go out in order ahead of the next line written on a thread that can, or
// at flush_diagnostics(). Host code only; device programs never print.
#pragma once

#include <sstream>
#include <string>

namespace vorn {

enum class DiagStream { Out, Err };

struct DiagnosticSink {
    /// Writes one complete line (ending in '\n') and flushes; never throws.
    void (*write)(DiagStream stream, const std::string& line) = nullptr;
    /// Whether `write` may be called on the current thread; null means always.
    bool (*can_write)() = nullptr;
};

/// Installs `sink`; a sink without `write` restores the C streams.
void set_diagnostic_sink(DiagnosticSink sink);

/// The module-level switch: while off, lines are dropped (queued ones too).
void set_diagnostics_enabled(bool enabled);
bool diagnostics_enabled();

/// Sends one line (ending in '\n') to the sink, or queues it (see above).
void diag_write(DiagStream stream, std::string line);

/// printf-style diag_write; the format carries the line's '\n'.
void diag_printf(DiagStream stream, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

/// Writes the queued lines when the current thread may write.
void flush_diagnostics();

/// Stream-style line: `DiagLine(DiagStream::Err) << "x=" << x << "\n";` sends
/// what was streamed when the statement ends.
class DiagLine {
public:
    explicit DiagLine(DiagStream stream) : stream_(stream) {}
    DiagLine(const DiagLine&) = delete;
    DiagLine& operator=(const DiagLine&) = delete;
    ~DiagLine() { diag_write(stream_, text_.str()); }
    template <typename T>
    DiagLine& operator<<(const T& value) {
        text_ << value;
        return *this;
    }

private:
    DiagStream stream_;
    std::ostringstream text_;
};

}  // namespace vorn
