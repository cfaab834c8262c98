// Server stack: the path of a request as the router looks it up. One
// normalised form decides everything (store, CGI, script or file) and is
// what a redirect names, so that no other spelling of a path ("//x", "/%2fx",
// "/x//y") reaches a different decision or leaves the site.
// Pure functions; any thread may call them; nothing throws beyond
// std::bad_alloc.
#pragma once

#include <optional>
#include <string>

// The percent-decoded path with runs of '/' collapsed into one. Nothing for
// a path with an escape that is not "%" and two hexadecimal digits, one that
// does not begin with '/', or holds a NUL byte, a backslash or a segment
// that begins with "." ("." and ".." included).
std::optional<std::string> KoNormaliseRequestPath(const std::string& path);

// A normalised path written for a Location field: every byte other than
// letters, digits, '/' and "-._~!$&'()*+,;=:@" percent-encoded.
std::string KoEncodeRequestPath(const std::string& path);
