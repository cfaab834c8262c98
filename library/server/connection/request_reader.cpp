#include "server/connection/request_reader.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <string_view>
#include <utility>

#include "message/spare_buffers.h"

namespace {

const std::string kExpect = "expect";
const std::string kFirstLine = ":first:";

}  // namespace

bool KoAsksToContinue(const KoXHeader& request) {
    auto expect = request.fields.find(kExpect);
    if (expect == request.fields.end() || expect->second.empty()) return false;
    std::string value = expect->second.front();
    for (char& c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return value.find("100-continue") != std::string::npos;
}

bool KoIsHttp10Request(const KoXHeader& request) {
    auto first = request.fields.find(kFirstLine);
    return first != request.fields.end() && first->second.size() >= 3 && first->second[2] == "HTTP/1.0";
}

void KoRequestReader::append(std::string fresh) {
    if (carryAt == carry.size()) {
        carry.swap(fresh);
        carryAt = 0;
        spare_buffers::give(std::move(fresh));
    } else if (!fresh.empty()) {
        carry.erase(0, carryAt);
        carryAt = 0;
        carry += fresh;
    }
}

void KoRequestReader::release() {
    if (held() != 0) return;
    spare_buffers::give(std::move(carry));
    carryAt = 0;
}

std::string KoRequestReader::takeHeld() {
    std::string rest = carry.substr(carryAt);
    std::string().swap(carry);
    carryAt = 0;
    return rest;
}

KoRequestReader::Outcome KoRequestReader::read(const KoXHeader::Filter& filter, std::shared_ptr<KoXHeader>& done) {
    if (!request) return Outcome::needMore;
    int result = consume_result::NeedMore;
    try {
        while (result == consume_result::NeedMore && held() != 0) {
            const std::string_view rest = std::string_view(carry).substr(carryAt);
            if (request->ReadingHeader()) {
                // The header is read where it lies.
                std::size_t used = 0;
                result = request->ConsumeHeaderFrom(rest, used, filter);
                carryAt += used;
                if (result == consume_result::NeedMore && request->ReadingHeader()) break;
                continue;
            }
            // A body its handler has not caught up with waits here.
            if (request->BodyHeldBack()) break;
            // A body in slices.
            const std::size_t slice = std::min(feedSlice, rest.size());
            request->AppendInput(rest.substr(0, slice));
            carryAt += slice;
            result = request->ConsumeHeader(filter);
        }
    } catch (const std::exception&) {
        result = consume_result::Refused;
    }
    if (result == consume_result::NeedMore) {
        if (held() == 0) {
            carry.clear();
            carryAt = 0;
        }
        return Outcome::needMore;
    }
    done = std::move(request);
    if (result != consume_result::Complete) return Outcome::refused;
    // Bytes of the last slice behind the request go back to those held.
    const std::string remainder = done->TakeRemainder();
    carryAt -= std::min(carryAt, remainder.size());
    return Outcome::complete;
}
