#include "reader/dtd.h"

#include <utility>

#include "foundation/exception.h"
#include "xml/xml_complex_element.h"

KoDTD::~KoDTD() = default;

std::string KoDTD::addReader(std::unique_ptr<KoDTDElementRead> prototype) {
    if (!prototype) return std::string();
    std::string type = prototype->typeName;
    if (readers.count(type) != 0) throw KoException("name can't be twice", 1122, "src");
    readers.emplace(type, std::move(prototype));
    return type;
}

std::string KoDTD::addFactory(const std::string& typeName, KoDTDFactory factory) {
    factories[typeName] = std::move(factory);
    return typeName;
}

std::string KoDTD::addContainer(const std::string& typeName) {
    containers.insert(typeName);
    return typeName;
}

std::string KoDTD::setExclusions(const std::string& elementName, std::set<std::string> typeNames) {
    exclusions[elementName] = std::move(typeNames);
    return elementName;
}
