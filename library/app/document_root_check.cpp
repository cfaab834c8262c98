#include "app/document_root_check.h"

#include "platform/file_system.h"

std::string KoDocumentRootProblem(const std::string& root) {
    if (root.empty()) return {};
    const auto status = platform::fileStatus(root);
    if (!status.ok()) return "the document root " + root + " does not exist (" + status.error().text() + ")";
    if (!status.value().directory) return "the document root " + root + " is not a directory";
    return {};
}
