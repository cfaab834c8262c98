// Embedding interface: the three exported functions, declared in the public
// header directory (velkotwo/velko_server_api.h, installed for hosts);
// internal code and tests include them through here.
// May use: app, store, foundation (and through them everything below).
#pragma once

#include "velkotwo/velko_server_api.h"
