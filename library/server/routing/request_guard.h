// Server stack: KoRequestGuard, what the router asks before it routes a
// request: whether the client may reach its path at all (address rules,
// passwords). A guard that refuses fills the answer (401, 403, 429); one
// that admits a user records the name in the request's description under
// kRemoteUserKey and the scheme under kAuthTypeKey, where handlers and CGI
// programs (REMOTE_USER, AUTH_TYPE) find them.
//
// Ownership: shared by the routers of one application. Threads: called from
// every connection's loop at once; implementations guard their own state.
// Failures: nothing beyond std::bad_alloc.
#pragma once

class KoXHeader;
class KoXResponseHeader;

inline constexpr const char* kRemoteUserKey = "remoteuser";
inline constexpr const char* kAuthTypeKey = "authtype";

class KoRequestGuard {
public:
    virtual ~KoRequestGuard() = default;
    // True when response now holds the refusal; false lets the request on.
    virtual bool refuse(KoXHeader& request, KoXResponseHeader& response) = 0;
    // False when refuse() will surely refuse the request, judged from its
    // header alone and without counting an attempt: its body need not be
    // read (nor a client told to send it).
    virtual bool mayAdmit(const KoXHeader&) const { return true; }
};
