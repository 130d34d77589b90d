// Storage and load-time defaults of the session state.
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

std::string gMailbox, gOrigEWSUser, gPassword, gEwsUrl;
std::string gAdminUser, gAdminPassword, gDelegateUser, gDelegatePassword, gDelegateMailbox;
std::string gRoleId, gOrganizationId, gAccessKey, gAccessSecret;
std::string gBearerToken;
int gTokenExpiresIn = 0;
std::int64_t gTokenTime = 0;
std::string gApiEndpoint;
int gHttpAuth = 1;

int gIsSource = 0, gArchive = 0, gPublicFolders = 0, gForceVersionHeader = 0;
int gUpcomingOnly = 0, gServerMajorVersion = 0;
std::string gRootFolderName, gRootFolderId;

std::string gWorkDir, gBaseDir, gDebugFolder;
std::string gContactsFolder, gCalendarFolder, gTasksFolder;
std::string gNotesFolder = "Notes";
std::string gGroupName = "root";

int gTimeZoneBias = 0;
int gDstOffset = -1;
std::string gUtcOffsetText, gTimeZoneName;

qv_status_fn gStatusCallback = nullptr;
CURL *gCurl = nullptr;
curl_slist *gHeaders = nullptr;
int gHTTPResponse = 0;
std::string gRequestId;
int gMaxMessages = 0;

std::string gProxySpec, gProxyHost;
std::string gProxyPort = "8080";
std::string gProxyProtocol, gProxyUser, gProxyPassword;

SwitchSettings gSw;

void ResetSessionState()
{
    for (std::string *s : {&gMailbox, &gOrigEWSUser, &gPassword, &gEwsUrl, &gAdminUser,
                           &gAdminPassword, &gDelegateUser, &gDelegatePassword,
                           &gDelegateMailbox, &gRoleId, &gOrganizationId, &gAccessKey,
                           &gAccessSecret, &gBearerToken, &gApiEndpoint, &gRootFolderName,
                           &gRootFolderId, &gWorkDir, &gBaseDir, &gDebugFolder,
                           &gContactsFolder, &gCalendarFolder, &gTasksFolder,
                           &gUtcOffsetText, &gTimeZoneName, &gRequestId, &gProxySpec,
                           &gProxyHost, &gProxyProtocol, &gProxyUser, &gProxyPassword})
        s->clear();
    gTokenExpiresIn = 0;
    gTokenTime = 0;
    gHttpAuth = 1;
    gIsSource = gArchive = gPublicFolders = gForceVersionHeader = 0;
    gUpcomingOnly = gServerMajorVersion = 0;
    gNotesFolder = "Notes";
    gGroupName = "root";
    gTimeZoneBias = 0;
    gDstOffset = -1;
    gStatusCallback = nullptr;
    gHTTPResponse = 0;
    gMaxMessages = 0;
    gProxyPort = "8080";
    gSw = SwitchSettings{};
    // gCurl and gHeaders belong to Logon/Logoff and are not touched here.
}

} // namespace qvamz
