#include "store/stored_values_file.h"

#include <fstream>
#include <memory>
#include <sstream>

#include "foundation/exception.h"
#include "foundation/text_utils.h"
#include "platform/file_system.h"

namespace velko::store {

namespace {

KoXMLGenericElement* ChildNamed(KoXMLGenericElement* parent, const std::string& name) {
    for (KoXMLComplexElement* child : parent->childNodes()) {
        auto* element = dynamic_cast<KoXMLGenericElement*>(child);
        if (element != nullptr && element->name() == name) return element;
    }
    return parent->adoptChild(std::make_unique<KoXMLGenericElement>(name, true));
}

}  // namespace

bool loadStoredValues(KoPersistentAppStorage& store, const std::string& path, const std::string& application,
                      StoredValues& values) {
    if (!platform::fileInfo(path)) return false;
    store.load(path, [](const std::string&) {});
    store.selectApplication(application);
    StoredValues options;
    store.readOptions(options);
    values.clear();
    for (const auto& [name, value] : options) values[xmlUnescape(name)] = xmlUnescape(value);
    return true;
}

void saveStoredValues(KoPersistentAppStorage& store, const std::string& path, const std::string& application,
                      const StoredValues& values) {
    if (!store.applicationSelected() || store.applicationName() != application) store.selectApplication(application);
    KoXMLGenericElement* options = ChildNamed(ChildNamed(store.base(), application), "options");
    options->deleteChildren();
    for (const auto& [name, value] : values) {
        auto* option = options->adoptChild(std::make_unique<KoXMLGenericElement>("option", true));
        // Markup is written as it is: the entities go in here.
        option->setAttribute("name", xmlEscape(name));
        option->setAttribute("value", xmlEscape(value));
    }
    std::ostringstream text;
    text << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    store.base()->write(text);
    text << "\n";

    const std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text.str();
        out.flush();
        if (!out) {
            platform::removeTree(temporary);
            throw KoException("could not write the store file " + path, __LINE__, "src");
        }
    }
    const platform::Error replaced = platform::replaceFile(temporary, path);
    if (!replaced.ok()) {
        platform::removeTree(temporary);
        throw KoException("could not write the store file " + path + ": " + replaced.text(), __LINE__, "src");
    }
}

}  // namespace velko::store
