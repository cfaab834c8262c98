#include "foundation/diagnostics.h"

#include <iostream>
#include <memory>
#include <mutex>
#include <utility>

namespace {

std::mutex sinkLock;
std::shared_ptr<const KoDiagnosticSink> currentSink;  // under sinkLock; null: standard error

}  // namespace

void diagnostic(std::string_view line) {
    std::shared_ptr<const KoDiagnosticSink> sink;
    {
        std::lock_guard<std::mutex> lock(sinkLock);
        sink = currentSink;
    }
    if (sink) {
        (*sink)(line);
        return;
    }
    std::string whole(line);
    whole += '\n';
    // One write per line, so that lines from several threads do not mix.
    std::cerr.write(whole.data(), static_cast<std::streamsize>(whole.size()));
    std::cerr.flush();
}

KoDiagnosticSink setDiagnosticSink(KoDiagnosticSink sink) {
    std::shared_ptr<const KoDiagnosticSink> next;
    if (sink) next = std::make_shared<const KoDiagnosticSink>(std::move(sink));
    std::lock_guard<std::mutex> lock(sinkLock);
    std::swap(currentSink, next);
    return next ? *next : KoDiagnosticSink{};
}
