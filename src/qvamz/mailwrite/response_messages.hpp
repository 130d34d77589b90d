// The per-item results of an EWS answer: one response message per item of
// the request, in request order, each with its ResponseClass and, for
// errors and warnings, its ResponseCode and MessageText.  The answer file
// has every tag and every text on a line of its own.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qvamz {

struct ResponseMessage {
    std::string response_class; // "Success", "Warning", "Error"
    std::string response_code;  // "NoError", "ErrorMimeContentConversionFailed", ...
    std::string message_text;
    bool IsError() const { return response_class == "Error"; }
};

// The response messages named `element` ("CreateItemResponseMessage") of
// an answer file; empty when the file cannot be read or holds none.
std::vector<ResponseMessage> ReadResponseMessages(const std::string &answer_path,
                                                  std::string_view element);

} // namespace qvamz
