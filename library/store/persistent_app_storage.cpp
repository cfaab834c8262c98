#include "store/persistent_app_storage.h"

#include <algorithm>
#include <charconv>
#include <utility>

#include "foundation/diagnostics.h"
#include "foundation/exception.h"
#include "foundation/file_utils.h"
#include "store/command_compiler.h"

namespace {

// Project files are never created here: writing is switched off.
void leaveMissingFile(const std::string&) {}

} // namespace

KoPersistentAppStorage::KoPersistentAppStorage()
    : KoPersistentAppStorage(KoPersistentAppStorageSettings{}) {}

KoPersistentAppStorage::KoPersistentAppStorage(KoPersistentAppStorageSettings settings)
    : KoXMLDatabase("velko"), settings_(std::move(settings)) {}

KoPersistentAppStorage::~KoPersistentAppStorage() = default;

std::string KoPersistentAppStorage::fileInBase(const std::string& name) const {
    return settings_.baseDirectory + "/" + name;
}

std::string KoPersistentAppStorage::applicationName() {
    std::lock_guard<std::mutex> guard(storeLock_);
    return applicationName_;
}

bool KoPersistentAppStorage::applicationSelected() {
    std::lock_guard<std::mutex> guard(storeLock_);
    return applicationSelected_;
}

std::string KoPersistentAppStorage::requireApplication(int line) {
    std::lock_guard<std::mutex> guard(storeLock_);
    if (!applicationSelected_) throw KoException("no application selected", line, "src");
    return applicationName_;
}

void KoPersistentAppStorage::saveApplication(const std::string& name) {
    save(fileInBase(name + ".xml"));
}

void KoPersistentAppStorage::loadApplication(const std::string& name) {
    load(fileInBase(applicationName() + ".xml"), leaveMissingFile);
    selectApplication(name);
}

void KoPersistentAppStorage::selectApplication(const std::string& name) {
    std::lock_guard<std::mutex> store(storeLock_);
    {
        std::lock_guard<std::mutex> tree(lock_);
        KoXMLGenericElementList bases;
        if (auto* top = dynamic_cast<KoXMLGenericElement*>(document_.get())) {
            top->collectElementsByName("velko", bases, -1);
        }
        if (bases.size() != 1) {
            throw KoException("could not read the application config base 'velko'", 518, "src");
        }
        base_ = bases.front();
        KoXMLGenericElementList found;
        for (KoXMLComplexElement* child : base_->childNodes()) {
            if (auto* element = dynamic_cast<KoXMLGenericElement*>(child)) {
                element->collectElementsByName(name, found, -1);
            }
        }
        if (found.empty()) base_->adoptChild(std::make_unique<KoXMLGenericElement>(name, true));
    }
    applicationName_ = name;
    applicationSelected_ = true;
}

void KoPersistentAppStorage::readOptions(std::map<std::string, std::string>& map) {
    const std::string application = requireApplication(760);
    map.clear();
    std::lock_guard<std::mutex> tree(lock_);
    KoXMLGenericElementList options;
    findElementsUnlocked(application + ".options.option", options);
    for (KoXMLGenericElement* option : options) {
        std::string name = option->attributeText("name", "");
        if (!name.empty()) map[std::move(name)] = option->attributeText("value", "");
    }
}

void KoPersistentAppStorage::projectNames(std::vector<std::string>& list) {
    const std::string application = requireApplication(742);
    list.clear();
    std::lock_guard<std::mutex> tree(lock_);
    KoXMLGenericElementList projects;
    findElementsUnlocked(application + ".projects.project", projects);
    for (KoXMLGenericElement* project : projects) list.push_back(project->attributeText("name", ""));
}

bool KoPersistentAppStorage::registerProjects(const std::string& name) {
    std::vector<std::string> names;
    projectNames(names);
    if (std::find(names.begin(), names.end(), name) == names.end()) return false;

    std::string directory;
    {
        const std::string application = applicationName();
        std::lock_guard<std::mutex> tree(lock_);
        KoXMLGenericElementList projects;
        findElementsUnlocked(application + ".projects.project", projects);
        for (KoXMLGenericElement* project : projects) {
            if (project->attributeEquals("name", name)) {
                directory = project->attributeText("projectpath", "");
                break;
            }
        }
    }
    if (directory.empty()) directory = projectsDirectory() + "/" + name;
    if (!prepareProjectStorage(name, directory)) return false;

    const std::string file = directory + "/" + name + ".xml";
    // Only a file that reads as a database is recorded.
    KoXMLDatabase probe("velko");
    try {
        probe.load(file, leaveMissingFile);
    } catch (const KoException& e) {
        diagnostic(e.what());
        return false;
    }
    std::lock_guard<std::mutex> store(storeLock_);
    projectFiles_[name] = file;
    return true;
}

bool KoPersistentAppStorage::prepareProjectStorage(const std::string& name,
                                                   const std::string& directory) {
    const std::string projects = projectsDirectory();
    diagnostic("*#*#*#* storage of project " + name + " in " + projects);
    diagnostic("csd: " + directory);
    if (directory == projects + "/" + name) {
        // The default place is ours to make; a configured one must exist.
        return ensureDirectory(projects, true) && ensureDirectory(directory, true);
    }
    return ensureDirectory(directory, false);
}

void KoPersistentAppStorage::reportProjectStorage() {
    diagnostic("projectstorage: " + projectsDirectory());
}

std::string KoPersistentAppStorage::projectsDirectory() {
    return fileInBase(applicationName() + "_projects");
}

KoXMLDatabase* KoPersistentAppStorage::openLocked(const std::string& name,
                                                  const std::string& holder, int line,
                                                  bool reload) {
    const auto file = projectFiles_.find(name);
    if (file == projectFiles_.end()) throw KoException("project " + name + "not found", line, "src");
    const auto open = openProjects_.find(name);
    if (open != openProjects_.end()) {
        if (reload) open->second->load(file->second, leaveMissingFile);
        open->second->holderSet().insert(holder);
        return open->second.get();
    }
    auto database = std::make_unique<KoXMLDatabase>("");
    database->load(file->second, leaveMissingFile);
    database->holderSet().insert(holder);
    KoXMLDatabase* result = database.get();
    openProjects_.emplace(name, std::move(database));
    return result;
}

KoXMLDatabase* KoPersistentAppStorage::openProject(const std::string& name,
                                                   const std::string& holder) {
    std::lock_guard<std::mutex> store(storeLock_);
    return openLocked(name, holder, 779, false);
}

KoXMLDatabase* KoPersistentAppStorage::reopenProject(const std::string& name,
                                                     const std::string& holder) {
    std::lock_guard<std::mutex> store(storeLock_);
    if (projectFiles_.count(name) == 0) {
        throw KoException("project " + name + "not found", 796, "src");
    }
    diagnostic("reading DB again");
    return openLocked(name, holder, 796, true);
}

void KoPersistentAppStorage::closeProject(const std::string& name, const std::string& holder) {
    std::lock_guard<std::mutex> store(storeLock_);
    const auto open = openProjects_.find(name);
    if (open == openProjects_.end()) return;
    std::set<std::string>& holders = open->second->holderSet();
    holders.erase(holder);
    if (!holders.empty()) return;
    diagnostic("closing " + name);
    openProjects_.erase(open);
}

void KoPersistentAppStorage::setVariables(const VariableMap& map) {
    std::lock_guard<std::mutex> store(storeLock_);
    variables_ = map;
}

KoPersistentAppStorage::VariableMap KoPersistentAppStorage::variableMap() {
    std::lock_guard<std::mutex> store(storeLock_);
    return variables_;
}

bool KoPersistentAppStorage::hasVariable(const std::string& name) {
    std::lock_guard<std::mutex> store(storeLock_);
    return variables_.count(name) != 0;
}

std::int32_t KoPersistentAppStorage::variableNumber(const std::string& name) {
    std::string text;
    {
        std::lock_guard<std::mutex> store(storeLock_);
        const auto it = variables_.find(name);
        if (it == variables_.end()) return 0;
        text = it->second;
    }
    const char* first = text.data();
    const char* last = text.data() + text.size();
    while (first != last && (*first == ' ' || (*first >= '\t' && *first <= '\r'))) ++first;
    if (first != last && *first == '+') ++first;
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(first, last, value);
    (void)end;
    return error == std::errc() ? value : 0;
}

velko::store::ExpansionEnd KoPersistentAppStorage::expandTemplate(std::string& text,
                                                                  const std::string& project) {
    std::lock_guard<std::mutex> store(storeLock_);
    const auto open = openProjects_.find(project);
    KoXMLDatabase* projectDatabase = open == openProjects_.end() ? nullptr : open->second.get();
    const auto resolve = [&](const std::string& inner) -> std::string {
        if (!inner.empty() && inner.front() == '!') return velko::store::compileCommand(inner);
        if (projectDatabase != nullptr && projectDatabase->hasStringVariable(inner)) {
            return projectDatabase->stringVariable(inner, "");
        }
        const auto value = templateValues_.find(inner);
        return value == templateValues_.end() ? std::string() : value->second;
    };
    return velko::store::expandMarkers(text, resolve, settings_.templateLimits);
}

void KoPersistentAppStorage::setTemplateValue(const std::string& name, const std::string& value) {
    std::lock_guard<std::mutex> store(storeLock_);
    templateValues_[name] = value;
}

void KoPersistentAppStorage::removeTemplateValue(const std::string& name) {
    std::lock_guard<std::mutex> store(storeLock_);
    templateValues_.erase(name);
}
