// The settings store that every server handle owns.
//
// KoPersistentAppStorage is a KoXMLDatabase whose base element is "velko".
// Below it each embedding application has an element of its own, holding
// "options" (option children with name and value) and "projects" (project
// children with name and projectpath). The store also opens project
// databases on demand and shares them between holders, keeps the variable
// map that the application object reads, and expands "[[" name "]]" markers
// with commands ("[[!linearanimation(...)]]"), the string variables of open
// projects and template values.
//
// Files: relative to the settings' base directory ("." by default), as
// base + "/" + name + suffix: the application file <application>.xml and
// the projects directory <application>_projects.
// Ownership: the store owns the open project databases; a database handed
// out by openProject stays valid until its last holder closes it or the
// store is destroyed.
// Threads: the store's own fields (application name, project files, open
// projects, variables, template values) are guarded by an internal lock, so
// any thread may call its operations; the tree operations inherited from
// KoXMLDatabase keep their own rules. Lock order: the store's lock, then a
// database's lock; never the other way.
// Failure: KoException (source "src"): "could not read the application
// config base 'velko'", "no application selected", "project " + name +
// "not found", and those of KoXMLDatabase.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "store/template_expander.h"
#include "store/xml_database.h"

struct KoPersistentAppStorageSettings {
    // Directory that application files and project directories are found in.
    std::string baseDirectory = ".";
    velko::store::TemplateLimits templateLimits;
};

class KoPersistentAppStorage : public KoXMLDatabase {
public:
    using VariableMap = std::map<std::string, std::string>;

    KoPersistentAppStorage();
    explicit KoPersistentAppStorage(KoPersistentAppStorageSettings settings);
    ~KoPersistentAppStorage() override;

    // Reports that writing <name>.xml is blocked (see save).
    virtual void saveApplication(const std::string& name);
    // Loads <selected application>.xml (the application selected at the time
    // of the call), then selects name in the new tree.
    virtual void loadApplication(const std::string& name);
    // Makes the one "velko" element of the tree the base, and creates the
    // application element below it when there is none.
    virtual void selectApplication(const std::string& name);
    // Replaces list by the names of the application's projects, in order.
    virtual void projectNames(std::vector<std::string>& list);
    // Replaces map by the application's options; options without a name are
    // skipped, a later one overrides an earlier one of the same name.
    virtual void readOptions(std::map<std::string, std::string>& map);
    // Records the file of a listed project (projectpath/<name>.xml; an empty
    // projectpath means the project's directory below projectsDirectory())
    // once it reads as an XML database. False for a project that is not
    // listed, whose directory is missing, or whose file cannot be read.
    virtual bool registerProjects(const std::string& name);
    // Makes sure that the project's directory exists (creating the projects
    // directory and the project's own one when directory is the default);
    // writes "*#*#*#* " and "csd: " trace lines. False when it is missing.
    virtual bool prepareProjectStorage(const std::string& name, const std::string& directory);
    // Writes "projectstorage: " and projectsDirectory() as a diagnostic line.
    virtual void reportProjectStorage();
    virtual std::string projectsDirectory();
    // The project's database, loaded on first use, with holder added.
    virtual KoXMLDatabase* openProject(const std::string& name, const std::string& holder);
    // Reads the project's database again from its file (an open one keeps
    // its previous tree when that fails), with holder added.
    virtual KoXMLDatabase* reopenProject(const std::string& name, const std::string& holder);
    // Removes holder; the last one out closes and deletes the database.
    virtual void closeProject(const std::string& name, const std::string& holder);
    virtual void setVariables(const VariableMap& map);
    // A copy: the map may be replaced by another thread at any time.
    virtual VariableMap variableMap();
    // Whether a variable of that name exists (nothing is copied).
    bool hasVariable(const std::string& name);
    // The variable's value read as a signed 32-bit decimal number; 0 when
    // absent, not a number or out of range.
    virtual std::int32_t variableNumber(const std::string& name);
    // Expands the markers of text in place; tells why the expansion ended
    // (anything but complete means a bound stopped it and the rest of the
    // text is left as it was).
    virtual velko::store::ExpansionEnd expandTemplate(std::string& text, const std::string& project);
    virtual void setTemplateValue(const std::string& name, const std::string& value);
    virtual void removeTemplateValue(const std::string& name);

    std::string applicationName();
    bool applicationSelected();

private:
    std::string fileInBase(const std::string& name) const;
    std::string requireApplication(int line);
    KoXMLDatabase* openLocked(const std::string& name, const std::string& holder, int line,
                              bool reload);

    const KoPersistentAppStorageSettings settings_;
    std::mutex storeLock_;
    std::string applicationName_;
    bool applicationSelected_ = false;
    std::map<std::string, std::string> projectFiles_;
    std::map<std::string, std::unique_ptr<KoXMLDatabase>> openProjects_;
    VariableMap variables_;
    std::map<std::string, std::string> templateValues_;
};
