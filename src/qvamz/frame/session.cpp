#include "frame/session.hpp"

namespace qvamz {

void assign_limited(std::string &out, std::string_view text, std::size_t max)
{
    if (text.size() > max) {
        std::size_t cut = max;
        // Do not leave half a UTF-8 sequence at the end.
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            --cut;
        text = text.substr(0, cut);
    }
    out.assign(text);
}

void WipeSessionSecrets(Session &session)
{
    SessionState &state = session.state;
    for (SecretString *secret : {&state.password, &state.admin_password,
                                 &state.delegate_password, &state.access_secret,
                                 &state.bearer_token})
        secret->clear();
}

} // namespace qvamz
