// Host interface: the application settings a velko::ServerOptions record
// stands for (limits, time-outs, concurrency). The access log and the
// listener events are wired by the server itself. Any thread. Failures:
// those of KoAccessGuardFor and KoAdmitFor (access_guard.h), and KoException
// "client certificates need HTTPS".
#pragma once

#include "app/velko_application.h"
#include "velkotwo/server.h"

KoApplicationSettings KoSettingsFor(const velko::ServerOptions& options);
