// Host interface: an answer whose body the host's producer writes as it
// makes it (velko::Answer::stream). KoAttachProducer gives the response
// its framing (length unknown: chunked; or the producer's announced
// length) and a body stream bounded as a script's output is, and leaves
// the producer to afterAnswered, so it runs on the handler's thread once
// the head is on its way. write() blocks while the client is behind and
// reports false once the client or the server has gone; a producer that
// throws, or writes less than it announced, cuts the body (the connection
// ends without its proper end).
// May use: server, message and everything below.
#pragma once

#include <memory>

#include "host/live_channels.h"
#include "velkotwo/server.h"

class KoXHeader;
class KoXResponseHeader;

// Nothing for an answer without a producer; no producer runs for HEAD or a
// status without a body.
void KoAttachProducer(const velko::Answer& answer, const KoXHeader& request, KoXResponseHeader& response,
                      const std::shared_ptr<KoLiveChannels>& live);
