// Persistent storage: stored values kept in a store file. The file is the
// store's own application file: the base element "velko", the application's
// element below it, and in it "options" with one "option" (attributes
// "name" and "value") per stored value:
//
//   <?xml version="1.0" encoding="UTF-8"?>
//   <velko>
//   <velkotwodll>
//   <options>
//   <option name="counter" value="3" />
//   </options>
//   </velkotwodll>
//   </velko>
//
// Values are written with XML's entities (xmlEscape) and read back through
// them, so any text survives the round trip and the file stays well-formed
// XML; everything else in a loaded file (projects, other applications) is
// written back as it was read.
//
// Ownership: nothing kept; the store keeps the tree. Threads: one caller per
// store at a time (the tree has no lock of its own here). Failures:
// KoException: the store's when the file cannot be read ("no config was
// found - ...", "could not read the application config base 'velko'"), and
// "could not write the store file " + path when it cannot be written (the
// previous file then stays as it was).
#pragma once

#include <map>
#include <string>

#include "store/persistent_app_storage.h"

namespace velko::store {

using StoredValues = std::map<std::string, std::string>;

// Loads path into store and selects application in it; the values are its
// options. A missing file loads nothing: false, values untouched.
bool loadStoredValues(KoPersistentAppStorage& store, const std::string& path, const std::string& application,
                      StoredValues& values);

// Replaces the application's options in store's tree by values and writes
// the tree to path (through a temporary file beside it).
void saveStoredValues(KoPersistentAppStorage& store, const std::string& path, const std::string& application,
                      const StoredValues& values);

}  // namespace velko::store
