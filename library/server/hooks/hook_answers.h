// Server stack: what the outgoing side hands back to a client. Every request
// given to a URL hook service ends in exactly one answer: the remote
// server's, parsed by KoXHeader, or an error answer made here (502 when no
// exchange was possible or the answer was unreadable, 504 when the remote
// server fell silent). An error answer carries the reason as its body and
// under "error" in its description; it is never a success.
//
// Also the values that the end of an exchange reports (kind-5 and kind-6
// job messages). Pure functions; any thread; nothing throws beyond
// std::bad_alloc.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "message/protocols.h"
#include "message/response_header.h"

class KoTransceiverClient;

// Takes one answer; source is the request's name, as the client knows it
// from AddRoute.
using KoURLHookAnswerSink = std::function<void(const std::string& source, std::shared_ptr<KoXHeader> answer)>;
// The sink for the answers of one client, by client identifier.
using KoURLHookAnswerSinkSource = std::function<KoURLHookAnswerSink(const std::string& clientId)>;

namespace url_hook {

inline constexpr std::int32_t kStatusNoExchange = 502;
inline constexpr std::int32_t kStatusSilent = 504;

// An answer to request with the status and reason, marked as an error.
std::shared_ptr<KoXResponseHeader> ErrorAnswer(const KoXHeader& request, std::int32_t status,
                                               const std::string& reason);
// The request's own description values, with "ID" (the request's name),
// "status" and, for an error answer, "error".
KoStringMap ResultValues(const KoXHeader& request, const KoXHeader& answer);
// Hands answers to the client's ReceiveMessage while it lives.
KoURLHookAnswerSink ClientAnswerSink(std::weak_ptr<KoTransceiverClient> client);

}  // namespace url_hook
