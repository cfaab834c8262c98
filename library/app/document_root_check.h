// Application: whether a document root can serve anything. A root that does
// not exist would start a server that answers 404 to every request without
// a word; the application says so when it starts, the host interface
// refuses to start. Any thread; throws nothing.
#pragma once

#include <string>

// "" when root is empty (nothing is meant to be served) or names a
// directory; otherwise what is wrong, naming the root, e.g.
// "the document root ./site/ does not exist (No such file or directory)".
std::string KoDocumentRootProblem(const std::string& root);
