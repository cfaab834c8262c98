#include "store/xml_database.h"

#include <sstream>
#include <vector>

#include "foundation/diagnostics.h"
#include "foundation/exception.h"
#include "foundation/file_utils.h"
#include "foundation/text_utils.h"
#include "store/xml_file_reader.h"
#include "xml/xml_declaration.h"
#include "xml/xml_document.h"

namespace {

const char* const kStringVariablePath = "project.stringvariables.stringvariable";

// The first direct child of parent that is a generic element named name.
// Only children: a part of a path never names the element it starts from.
KoXMLGenericElement* childNamed(KoXMLGenericElement* parent, const std::string& name) {
    for (KoXMLComplexElement* child : parent->childNodes()) {
        auto* element = dynamic_cast<KoXMLGenericElement*>(child);
        if (element != nullptr && element->name() == name) return element;
    }
    return nullptr;
}

// Everything before the last path component, separator included.
std::string directoryOf(const std::string& path) {
    std::size_t end = path.size();
    while (end > 0 && (path[end - 1] == '/' || path[end - 1] == '\\')) --end;
    const std::size_t sep = path.find_last_of("/\\", end == 0 ? 0 : end - 1);
    if (end == 0 || sep == std::string::npos) return {};
    return path.substr(0, sep + 1);
}

} // namespace

KoXMLDatabase::KoXMLDatabase(const std::string& rootName)
    : document_(std::make_unique<KoXML_Document2>()) {
    document_->adoptChild(std::make_unique<KoXML_Declaration2>("version=\"1.0\" encoding=\"UTF-8\""));
    if (!rootName.empty()) {
        rootName_ = rootName;
        base_ = document_->adoptChild(std::make_unique<KoXMLGenericElement>(rootName, true));
    }
}

KoXMLDatabase::~KoXMLDatabase() = default;

KoXMLGenericElement* KoXMLDatabase::resolve(const std::string& path, std::string& attributeName,
                                             bool create) {
    if (rootName_.empty() || base_ == nullptr) {
        throw KoException("the base element must have a length", 296, "src");
    }
    const std::vector<std::string> parts = splitText(path, ".", false);
    if (parts.size() < 2) {
        throw KoException("the element and attribute name can't be empty", 300, "src");
    }
    attributeName = parts.back();
    KoXMLGenericElement* element = base_;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        KoXMLGenericElement* next = childNamed(element, parts[i]);
        if (next == nullptr) {
            if (!create) return nullptr;
            next = element->adoptChild(std::make_unique<KoXMLGenericElement>(parts[i], true));
        }
        element = next;
    }
    return element;
}

void KoXMLDatabase::setValue(const std::string& path, const std::string& value) {
    std::string name;
    KoXMLGenericElement* element = resolve(path, name, true);
    // Set directly rather than through a name="value" text: a name holding
    // '=' would be split at the wrong place.
    element->setAttribute(name, value);
}

std::string KoXMLDatabase::getValue(const std::string& path, const std::string& defaultValue) {
    std::string name;
    KoXMLGenericElement* element = resolve(path, name, false);
    if (element == nullptr) return defaultValue;
    return element->attributeText(name, defaultValue);
}

void KoXMLDatabase::save(const std::string& filePath) {
    diagnostic("writing: " + filePath + " to disk is blocked!!");
    std::lock_guard<std::mutex> guard(lock_);
}

void KoXMLDatabase::load(const std::string& filePath, const CreateDefault& createDefault) {
    if (!fileStatus(filePath)) createDefault(filePath);

    std::lock_guard<std::mutex> guard(lock_);
    std::string error;
    std::unique_ptr<KoXMLComplexElement> root = velko::store::readXmlFile(filePath, error);
    auto* element = dynamic_cast<KoXMLGenericElement*>(root.get());
    if (element == nullptr) {
        throw KoException("no config was found - " + filePath + " with " + error, 268, "src");
    }
    root.release();
    document_.reset(element);
    base_ = element;
    rootName_ = element->name();
    // Only a file that was read counts as loaded.
    directory_ = directoryOf(filePath);
}

void KoXMLDatabase::setValueLocked(const std::string& path, const std::string& value) {
    std::lock_guard<std::mutex> guard(lock_);
    setValue(path, value);
}

std::string KoXMLDatabase::getValueLocked(const std::string& path,
                                          const std::string& defaultValue) {
    std::lock_guard<std::mutex> guard(lock_);
    return getValue(path, defaultValue);
}

std::string KoXMLDatabase::getOrInitValue(const std::string& path,
                                          const std::string& defaultValue) {
    std::lock_guard<std::mutex> guard(lock_);
    std::string value = getValue(path, defaultValue);
    setValue(path, value);
    return value;
}

void KoXMLDatabase::findElementsUnlocked(const std::string& path, KoXMLGenericElementList& list) {
    if (base_ == nullptr) throw KoException("the base element must have a length", 396, "src");
    const std::vector<std::string> parts = splitText(path, ".", false);
    if (parts.empty()) throw KoException("the element name can't be empty", 400, "src");
    KoXMLGenericElement* element = base_;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        element = childNamed(element, parts[i]);
        if (element == nullptr) return;
    }
    for (KoXMLComplexElement* child : element->childNodes()) {
        auto* match = dynamic_cast<KoXMLGenericElement*>(child);
        if (match != nullptr && match->name() == parts.back()) list.push_back(match);
    }
}

void KoXMLDatabase::findElements(const std::string& path, KoXMLGenericElementList& list) {
    std::lock_guard<std::mutex> guard(lock_);
    findElementsUnlocked(path, list);
}

void KoXMLDatabase::findAllNamed(const std::string& name, KoXMLGenericElementList& list) {
    std::lock_guard<std::mutex> guard(lock_);
    if (name.empty() || base_ == nullptr) {
        throw KoException("the base element must have a length", 431, "src");
    }
    base_->collectElementsByName(name, list, -1);
}

std::set<std::string>& KoXMLDatabase::holderSet() { return holders_; }

KoXMLGenericElement* KoXMLDatabase::findStringVariable(const std::string& name) {
    if (base_ == nullptr) return nullptr;
    KoXMLGenericElementList variables;
    findElements(kStringVariablePath, variables);
    for (KoXMLGenericElement* variable : variables) {
        if (variable->attributeEquals("name", name)) return variable;
    }
    return nullptr;
}

std::string KoXMLDatabase::stringVariable(const std::string& name,
                                          const std::string& defaultValue) {
    KoXMLGenericElement* variable = findStringVariable(name);
    if (variable == nullptr) return defaultValue;
    std::ostringstream out;
    for (KoXMLComplexElement* child : variable->childNodes()) child->write(out);
    return out.str();
}

bool KoXMLDatabase::hasStringVariable(const std::string& name) {
    return findStringVariable(name) != nullptr;
}
