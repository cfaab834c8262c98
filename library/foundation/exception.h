// Foundation: the one exception type of the system and its TLS variant, and
// (text_utils.h, file_utils.h) the text and path utilities used everywhere.
// May use: platform.
//
// The exception types are part of what a host sees, so they are declared in
// the public header directory; internal code includes them through here.
#pragma once

#include "velkotwo/exception.h"
