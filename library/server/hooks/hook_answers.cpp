#include "server/hooks/hook_answers.h"

#include <cctype>

#include "message/http_tables.h"
#include "message/transceiver_client.h"

namespace url_hook {

std::shared_ptr<KoXResponseHeader> ErrorAnswer(const KoXHeader& request, std::int32_t status,
                                               const std::string& reason) {
    auto answer = request.MakeAnswer();
    answer->statusCode = status;
    std::string text(StatusText(status));
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    answer->fields[":first:"] = {"HTTP/1.1", std::to_string(status), text};
    answer->fields["content-length"] = {std::to_string(reason.size())};
    answer->Input().sputn(reason.data(), static_cast<std::streamsize>(reason.size()));
    answer->contentLength = reason.size();
    answer->description["error"] = reason;
    answer->description["ID"] = request.name;
    return answer;
}

KoStringMap ResultValues(const KoXHeader& request, const KoXHeader& answer) {
    KoStringMap values = request.description;
    values["ID"] = request.name;
    values["status"] = std::to_string(answer.statusCode);
    auto error = answer.description.find("error");
    if (error != answer.description.end()) values["error"] = error->second;
    return values;
}

KoURLHookAnswerSink ClientAnswerSink(std::weak_ptr<KoTransceiverClient> client) {
    return [client = std::move(client)](const std::string& source, std::shared_ptr<KoXHeader> answer) {
        if (auto owner = client.lock()) owner->ReceiveMessage(source, std::move(answer));
    };
}

}  // namespace url_hook
