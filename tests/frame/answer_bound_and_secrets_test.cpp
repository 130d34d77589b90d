// "/MAXANSWER" and what Logoff leaves of the logon's credentials.
#include <gtest/gtest.h>

#include <string>

#include "frame/logon.hpp"
#include "frame/session.hpp"
#include "frame/switches.hpp"
#include "test_support.hpp"
#include "qv/qvcom.h"

namespace {

using namespace qvamz;

class AnswerBoundSwitch : public conntest::SessionTest {
  protected:
    void TearDown() override { qvcom_set_switches(nullptr); }
    void Parse(const char *switches)
    {
        qvcom_set_switches(switches);
        ParseSwitches(session);
    }
    conntest::ScratchDir dir;
    conntest::LogCapture log{dir};
};

TEST_F(AnswerBoundSwitch, TakesMegabytesWithinItsRangeAndKeepsTheValueOtherwise)
{
    EXPECT_EQ(session.settings.max_answer_mb, 64); // two 25 MB items plus headroom
    Parse("/MAXANSWER 200");
    EXPECT_EQ(session.settings.max_answer_mb, 200);
    for (const char *bad : {"/MAXANSWER 0", "/MAXANSWER -5", "/MAXANSWER 99999"}) {
        Parse(bad);
        EXPECT_EQ(session.settings.max_answer_mb, 200) << bad;
    }
    EXPECT_EQ(log.count("is outside 1..4096 MB; keeping 200"), 3u);
    Parse("/MAXANSWER \"\"");
    EXPECT_EQ(session.settings.max_answer_mb, 200);
}

TEST_F(AnswerBoundSwitch, LogoffForgetsTheLogonCredentialsButNotTheSwitchSecrets)
{
    SessionState &state = session.state;
    state.password = "mailbox-pw";
    state.admin_password = "admin-pw";
    state.delegate_password = "delegate-pw";
    state.access_secret = "aws-secret";
    state.bearer_token = "bearer-token";
    session.settings.target_access_secret = "target-secret";
    session.settings.proxy.password = "proxy-pw";
    EXPECT_EQ(LogoffSession(session, 0), 0);
    for (const SecretString *wiped : {&state.password, &state.admin_password,
                                      &state.delegate_password, &state.access_secret,
                                      &state.bearer_token})
        EXPECT_TRUE(wiped->empty());
    // The switch string of the next logon may not name these again.
    EXPECT_EQ(session.settings.target_access_secret, "target-secret");
    EXPECT_EQ(session.settings.proxy.password, "proxy-pw");
}

} // namespace
