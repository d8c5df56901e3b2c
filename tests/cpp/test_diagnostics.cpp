// The diagnostics sink: the C streams by default; with a sink that may write
// only on one thread, lines from other threads wait and go out in order.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/diagnostics.h"

namespace vorn {
namespace {

std::vector<std::pair<DiagStream, std::string>> g_lines;
std::thread::id g_owner;

void record(DiagStream s, const std::string& line) { g_lines.emplace_back(s, line); }
bool on_owner() { return std::this_thread::get_id() == g_owner; }

TEST(Diagnostics, DefaultSinkWritesEachLineToItsCStream) {
    const std::string longer(300, 'x');  // past the formatter's first buffer
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    diag_printf(DiagStream::Out, "%s VORN_MAX_DEPTH=%d\n", "[CPU fwd]", 7);
    diag_printf(DiagStream::Err, "[OptiX][%s] %s\n", "ERR", longer.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[OptiX][ERR] " + longer + "\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[CPU fwd] VORN_MAX_DEPTH=7\n");
}

TEST(Diagnostics, WorkerLinesWaitForTheOwningThreadAndKeepTheirOrder) {
    g_lines.clear();
    g_owner = std::this_thread::get_id();
    set_diagnostic_sink({record, on_owner});
    diag_write(DiagStream::Out, "first\n");
    std::thread([] {
        diag_printf(DiagStream::Err, "worker %d\n", 1);
        DiagLine(DiagStream::Out) << "worker " << 2.5 << "\n";
    }).join();
    EXPECT_EQ(g_lines.size(), 1u);  // nothing written on the worker
    diag_write(DiagStream::Out, "last\n");
    const std::vector<std::pair<DiagStream, std::string>> expected = {
        {DiagStream::Out, "first\n"}, {DiagStream::Err, "worker 1\n"},
        {DiagStream::Out, "worker 2.5\n"}, {DiagStream::Out, "last\n"}};
    EXPECT_EQ(g_lines, expected);

    std::thread([] { diag_write(DiagStream::Out, "flushed\n"); }).join();
    flush_diagnostics();
    EXPECT_EQ(g_lines.back().second, "flushed\n");

    // Switched off: new lines and waiting ones are dropped.
    std::thread([] { diag_write(DiagStream::Out, "queued\n"); }).join();
    set_diagnostics_enabled(false);
    EXPECT_FALSE(diagnostics_enabled());
    diag_write(DiagStream::Out, "dropped\n");
    set_diagnostics_enabled(true);
    flush_diagnostics();
    EXPECT_EQ(g_lines.size(), expected.size() + 1);
    set_diagnostic_sink({});
}

}  // namespace
}  // namespace vorn
