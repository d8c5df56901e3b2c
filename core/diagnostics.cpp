#include "core/diagnostics.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <utility>
#include <vector>

namespace vorn {
namespace {

void write_c_stream(DiagStream stream, const std::string& line) {
    std::FILE* f = stream == DiagStream::Out ? stdout : stderr;
    std::fwrite(line.data(), 1, line.size(), f);
    std::fflush(f);
}

struct SinkState {
    std::mutex lock;
    DiagnosticSink sink{write_c_stream, nullptr};
    std::vector<std::pair<DiagStream, std::string>> queue;
};

SinkState& state() {
    static SinkState* s = new SinkState;  // never destroyed: static objects may print late
    return *s;
}

std::atomic<bool> g_enabled{true};

// Takes the queue (and `line`, when given) if the sink may write on this
// thread; otherwise queues `line`. Returns the sink to write with.
DiagnosticSink take_lines(std::vector<std::pair<DiagStream, std::string>>& out,
                          std::pair<DiagStream, std::string>* line) {
    SinkState& s = state();
    std::lock_guard<std::mutex> hold(s.lock);
    const DiagnosticSink sink = s.sink;
    if (sink.can_write != nullptr && !sink.can_write()) {
        if (line != nullptr) s.queue.push_back(std::move(*line));
        return DiagnosticSink{};
    }
    out.swap(s.queue);
    if (line != nullptr) out.push_back(std::move(*line));
    return sink;
}

void deliver(std::pair<DiagStream, std::string>* line) {
    std::vector<std::pair<DiagStream, std::string>> lines;
    const DiagnosticSink sink = take_lines(lines, line);
    // Written outside the lock: a sink may itself cause diagnostics.
    if (sink.write == nullptr) return;
    for (const auto& l : lines) sink.write(l.first, l.second);
}

}  // namespace

void set_diagnostic_sink(DiagnosticSink sink) {
    SinkState& s = state();
    std::lock_guard<std::mutex> hold(s.lock);
    s.sink = sink.write != nullptr ? sink : DiagnosticSink{write_c_stream, nullptr};
}

void set_diagnostics_enabled(bool enabled) {
    g_enabled = enabled;
    if (!enabled) {
        SinkState& s = state();
        std::lock_guard<std::mutex> hold(s.lock);
        s.queue.clear();
    }
}

bool diagnostics_enabled() { return g_enabled; }

void diag_write(DiagStream stream, std::string line) {
    if (!g_enabled) return;
    std::pair<DiagStream, std::string> item(stream, std::move(line));
    deliver(&item);
}

void diag_printf(DiagStream stream, const char* format, ...) {
    if (!g_enabled) return;
    char small[256];
    std::va_list args;
    va_start(args, format);
    std::va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    std::string line;
    if (n >= int(sizeof small)) {
        line.resize(size_t(n) + 1);
        std::vsnprintf(&line[0], line.size(), format, again);
        line.resize(size_t(n));
    } else if (n > 0) {
        line.assign(small, size_t(n));
    }
    va_end(again);
    diag_write(stream, std::move(line));
}

void flush_diagnostics() { deliver(nullptr); }

}  // namespace vorn
