// bench_ews_request_loop --url URL --ca PEM --user ADDR [--password-env VAR]
//                        [--folder DISTINGUISHED_ID] [--max-items N]
//                        [--copy-to ADDR [--to-password-env VAR] [--bundle N]]
//
// The least a client can do to read a mail folder through EWS: one libcurl
// easy handle (keep-alive, the CA loaded by libcurl), the FindItem pages and
// GetItem requests the connector sends, each answer checked for success and
// its MimeContent, nothing decoded or stored.  Its time and CPU are the lower
// bound for the connector's read.  Logs on with Basic once, then rides on the
// session cookie as the connector does.  Prints one JSON object on stdout.
//
// With --copy-to it is the lower bound of a copy: a second easy handle logs
// on as the target and every message read goes into the target's folder of
// the same distinguished id (the Inbox by default) with CreateItem
// (SaveOnly), N messages per request (50, qvmigrate's default), the
// MimeContent passed through as the server sent it (only its header block
// is decoded, for the Date that dates the copy).  Every
// CreateItemResponseMessage must be Success.  It is the simplest client on
// purpose: one thread, strictly sequential, a write waits for its answer
// before the next read goes out; a client that overlaps reading and writing
// can beat it on wall time, never on requests or bytes.
#include <curl/curl.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "create_item_bundle.hpp"

namespace {

constexpr int kPageSize = 500;        // ids per FindItem page, as the connector asks
constexpr int kMaxPages = 2'000;      // 1,000,000 items: ends a server that never says "last"
constexpr long kTransferTimeoutSeconds = 120;
constexpr std::string_view kMessagesNs = "http://schemas.microsoft.com/exchange/services/2006/messages";
constexpr std::string_view kTypesNs = "http://schemas.microsoft.com/exchange/services/2006/types";

// The inside of each operation, as the connector writes it.
constexpr std::string_view kGetFolderBody = "<FolderShape>\n"
                                            "<t:BaseShape>IdOnly</t:BaseShape>\n"
                                            "</FolderShape>\n"
                                            "<FolderIds>\n"
                                            "<t:DistinguishedFolderId Id=\"{folder}\"/>\n"
                                            "</FolderIds>\n";
constexpr std::string_view kFindItemBody =
    "<ItemShape>\n"
    "<t:BaseShape>IdOnly</t:BaseShape>\n"
    "</ItemShape>\n"
    "<IndexedPageItemView MaxEntriesReturned=\"{size}\" Offset=\"{offset}\" BasePoint=\"Beginning\"/>"
    "<ParentFolderIds>\n"
    "<t:FolderId Id=\"{folder}\"></t:FolderId>\n"
    "</ParentFolderIds>\n";
constexpr std::string_view kGetItemBody =
    "<ItemShape>\n"
    "<t:BaseShape>IdOnly</t:BaseShape>\n"
    "<t:IncludeMimeContent>true</t:IncludeMimeContent>\n"
    "<t:AdditionalProperties>\n"
    "<t:FieldURI FieldURI=\"message:IsRead\"/>\n"
    "<t:FieldURI FieldURI=\"item:Categories\"/>\n"
    "<t:ExtendedFieldURI PropertyTag=\"0x1090\" PropertyType=\"Integer\"/>"
    "<t:ExtendedFieldURI PropertyTag=\"0x1080\" PropertyType=\"Integer\"/>"
    "</t:AdditionalProperties>\n"
    "</ItemShape>\n"
    "<ItemIds>\n"
    "<t:ItemId Id=\"{id}\" ChangeKey=\"{change_key}\"/>\n"
    "</ItemIds>\n";
constexpr std::string_view kCreateItemHead = "<SavedItemFolderId>\n"
                                             "<t:FolderId Id=\"{folder}\"/>\n"
                                             "</SavedItemFolderId>\n"
                                             "<Items>\n";
constexpr std::string_view kCreateItemTail = "</Items>\n";
constexpr int kMaxBundle = 1'000;

struct Options {
    std::string url;
    std::string ca_file;
    std::string user;
    std::string password_env = "BENCH_PASSWORD";
    std::string folder = "inbox";
    long max_items = 1'000'000;
    std::string copy_to;          // empty: read only
    std::string to_password_env = "BENCH_TO_PASSWORD";
    int bundle = 50;
};

struct ItemId {
    std::string id;
    std::string change_key;
};

struct Counters {
    long requests = 0;
    long items = 0;
    long connections = 0;
    std::uint64_t bytes_sent = 0;
    std::uint64_t bytes_received = 0;
    std::uint64_t mime_base64_bytes = 0;
    long written = 0;             // messages the target answered Success for
    long create_requests = 0;
    long resent = 0;              // requests sent again after a stale connection
};

struct CurlDeleter {
    void operator()(CURL *handle) const { curl_easy_cleanup(handle); }
};
struct SlistDeleter {
    void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};

std::string Fill(std::string_view text, std::initializer_list<std::pair<std::string_view, std::string_view>> values)
{
    std::string out(text);
    for (const auto &[name, value] : values) {
        const std::size_t at = out.find(name);
        if (at != std::string::npos)
            out.replace(at, name.size(), value);
    }
    return out;
}

// The envelope the connector puts around an operation for a 2010-or-later
// server without impersonation: an empty header.
std::string Envelope(std::string_view operation, std::string_view attributes,
                     std::string_view inside)
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
    xml.append("<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"\n");
    xml.append("xmlns:t=\"").append(kTypesNs).append("\">\n");
    xml.append("<soap:Header>\n</soap:Header>\n<soap:Body>\n");
    xml.append("<").append(operation).append(" ");
    if (!attributes.empty())
        xml.append(attributes).append(" ");
    xml.append("xmlns=\"").append(kMessagesNs).append("\"\n");
    xml.append("xmlns:t=\"").append(kTypesNs).append("\">\n");
    xml.append(inside);
    xml.append("</").append(operation).append(">\n</soap:Body>\n</soap:Envelope>\n");
    return xml;
}

// Value of `attribute="..."` after `from` in `text`; nullopt when absent.
std::optional<std::string> AttributeValue(std::string_view text, std::string_view attribute,
                                          std::size_t from = 0)
{
    const std::string key = " " + std::string(attribute) + "=\"";
    const std::size_t at = text.find(key, from);
    if (at == std::string_view::npos)
        return std::nullopt;
    const std::size_t start = at + key.size();
    const std::size_t end = text.find('"', start);
    if (end == std::string_view::npos)
        return std::nullopt;
    return std::string(text.substr(start, end - start));
}

std::size_t AppendToString(char *data, std::size_t size, std::size_t count, void *target)
{
    static_cast<std::string *>(target)->append(data, size * count);
    return size * count;
}

class Client {
  public:
    Client(const Options &options, const std::string &user, const std::string &password)
        : handle_(curl_easy_init())
    {
        if (!handle_)
            throw std::runtime_error("curl_easy_init failed");
        curl_slist *list = curl_slist_append(nullptr, "Content-Type: text/xml; charset=utf-8");
        list = curl_slist_append(list, "Expect:");
        list = curl_slist_append(list, "X-PreferServerAffinity: true");
        headers_.reset(list);
        CURL *h = handle_.get();
        curl_easy_setopt(h, CURLOPT_URL, options.url.c_str());
        curl_easy_setopt(h, CURLOPT_CAINFO, options.ca_file.c_str());
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers_.get());
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_COOKIEFILE, "");
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(h, CURLOPT_TIMEOUT, kTransferTimeoutSeconds);
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, AppendToString);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, &answer_);
        curl_easy_setopt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        credentials_ = user + ":" + password;
        curl_easy_setopt(h, CURLOPT_USERPWD, credentials_.c_str());
    }

    // After the first answer the session cookie carries the principal.
    void DropCredentials()
    {
        curl_easy_setopt(handle_.get(), CURLOPT_USERPWD, nullptr);
        std::fill(credentials_.begin(), credentials_.end(), '\0');
    }

    // Posts one operation; the answer when HTTP 200, else throws.  A kept-
    // alive connection the server closed while it idled (the target's, while
    // a bundle fills slower than the server's keep-alive timeout) fails in
    // sending: the server got no request, so it goes once more, on a new
    // connection, as the connector does.
    const std::string &Post(std::string_view operation, const std::string &body, Counters &counters)
    {
        CURL *h = handle_.get();
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        CURLcode result = CURLE_OK;
        long status = 0;
        for (int attempt = 1;; ++attempt) {
            answer_.clear();
            result = curl_easy_perform(h);
            long connects = 0;
            curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
            curl_easy_getinfo(h, CURLINFO_NUM_CONNECTS, &connects);
            ++counters.requests;
            counters.connections += connects;
            counters.bytes_sent += body.size();
            counters.bytes_received += answer_.size();
            if (result != CURLE_SEND_ERROR || connects != 0 || attempt == 2)
                break;
            ++counters.resent;
        }
        if (result != CURLE_OK)
            throw std::runtime_error(std::string(operation) + ": " + curl_easy_strerror(result));
        if (status != 200)
            throw std::runtime_error(std::string(operation) + ": HTTP " + std::to_string(status) +
                                     ": " + answer_.substr(0, 400));
        return answer_;
    }

  private:
    std::unique_ptr<CURL, CurlDeleter> handle_;
    std::unique_ptr<curl_slist, SlistDeleter> headers_;
    std::string credentials_;
    std::string answer_;
};

void RequireSuccess(std::string_view operation, const std::string &answer)
{
    if (answer.find("ResponseClass=\"Success\"") == std::string::npos)
        throw std::runtime_error(std::string(operation) + " did not succeed: " +
                                 answer.substr(0, 400));
}

std::string InboxFolderId(Client &client, const Options &options, Counters &counters)
{
    const std::string &answer = client.Post(
        "GetFolder", Envelope("GetFolder", "", Fill(kGetFolderBody, {{"{folder}", options.folder}})),
        counters);
    RequireSuccess("GetFolder", answer);
    const std::size_t at = answer.find("FolderId ");
    std::optional<std::string> id;
    if (at != std::string::npos)
        id = AttributeValue(answer, "Id", at);
    if (!id)
        throw std::runtime_error("GetFolder answer without a FolderId");
    return *id;
}

std::vector<ItemId> ListItems(Client &client, const std::string &folder_id, long max_items,
                              Counters &counters)
{
    std::vector<ItemId> ids;
    for (int page = 0; page < kMaxPages && static_cast<long>(ids.size()) < max_items; ++page) {
        const std::string offset = std::to_string(page * kPageSize);
        const std::string body = Envelope(
            "FindItem", "Traversal=\"Shallow\"", Fill(kFindItemBody, {{"{size}", std::to_string(kPageSize)},
                                             {"{offset}", offset},
                                             {"{folder}", folder_id}}));
        const std::string &answer = client.Post("FindItem", body, counters);
        RequireSuccess("FindItem", answer);
        std::size_t at = 0;
        std::size_t on_page = 0;
        while ((at = answer.find("ItemId ", at)) != std::string::npos) {
            auto id = AttributeValue(answer, "Id", at);
            auto change_key = AttributeValue(answer, "ChangeKey", at);
            if (!id || !change_key)
                throw std::runtime_error("FindItem answer with an incomplete ItemId");
            ids.push_back({*id, *change_key});
            ++on_page;
            ++at;
        }
        if (on_page == 0 || answer.find("IncludesLastItemInRange=\"true\"") != std::string::npos)
            break;
    }
    if (static_cast<long>(ids.size()) > max_items)
        ids.resize(static_cast<std::size_t>(max_items));
    return ids;
}

// The write half of a copy: collects the messages read into one CreateItem
// and sends it, to the target's own handle, when it holds `bundle` of them.
class BundleWriter {
  public:
    BundleWriter(Client &target, std::string folder_id, int bundle)
        : target_(target), folder_id_(std::move(folder_id)), bundle_(bundle)
    {
    }

    void Add(const bench::ReadMessage &message, Counters &counters)
    {
        bench::AppendMessageElement(items_, message);
        if (++pending_ == bundle_)
            Flush(counters);
    }

    void Flush(Counters &counters)
    {
        if (pending_ == 0)
            return;
        std::string inside = Fill(kCreateItemHead, {{"{folder}", folder_id_}});
        inside.append(items_).append(kCreateItemTail);
        const std::string body = Envelope("CreateItem", "MessageDisposition=\"SaveOnly\"", inside);
        const std::string &answer = target_.Post("CreateItem", body, counters);
        bench::RequireCreated(answer, pending_);
        ++counters.create_requests;
        counters.written += pending_;
        items_.clear();
        pending_ = 0;
    }

  private:
    Client &target_;
    std::string folder_id_;
    int bundle_;
    int pending_ = 0;
    std::string items_;
};

// Reads every item; hands each to `writer` when there is one.
void FetchItems(Client &client, const std::vector<ItemId> &ids, BundleWriter *writer,
                Counters &counters)
{
    for (const ItemId &item : ids) {
        const std::string body = Envelope(
            "GetItem", "", Fill(kGetItemBody, {{"{id}", item.id}, {"{change_key}", item.change_key}}));
        const std::string &answer = client.Post("GetItem", body, counters);
        RequireSuccess("GetItem", answer);
        const bench::ReadMessage message = bench::ParseGetItemAnswer(answer);
        counters.mime_base64_bytes += message.mime_base64.size();
        ++counters.items;
        if (writer)
            writer->Add(message, counters);
    }
    if (writer)
        writer->Flush(counters);
}

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::optional<Options> ParseArguments(int argc, char **argv)
{
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view name = argv[i];
        const std::string value = argv[i + 1];
        if (name == "--url")
            options.url = value;
        else if (name == "--ca")
            options.ca_file = value;
        else if (name == "--user")
            options.user = value;
        else if (name == "--password-env")
            options.password_env = value;
        else if (name == "--folder")
            options.folder = value;
        else if (name == "--max-items")
            options.max_items = std::strtol(value.c_str(), nullptr, 10);
        else if (name == "--copy-to")
            options.copy_to = value;
        else if (name == "--to-password-env")
            options.to_password_env = value;
        else if (name == "--bundle")
            options.bundle = static_cast<int>(std::strtol(value.c_str(), nullptr, 10));
        else
            return std::nullopt;
    }
    if (argc % 2 == 0 || options.url.empty() || options.ca_file.empty() || options.user.empty() ||
        options.max_items < 1 || options.bundle < 1 || options.bundle > kMaxBundle)
        return std::nullopt;
    return options;
}

} // namespace

int main(int argc, char **argv)
{
    const std::optional<Options> options = ParseArguments(argc, argv);
    if (!options) {
        std::cerr << "usage: bench_ews_request_loop --url URL --ca PEM --user ADDR "
                     "[--password-env VAR] [--folder ID] [--max-items N]\n"
                     "       [--copy-to ADDR [--to-password-env VAR] [--bundle 1..1000]]\n";
        return 2;
    }
    const char *password = std::getenv(options->password_env.c_str());
    if (!password) {
        std::cerr << "bench_ews_request_loop: $" << options->password_env << " is not set\n";
        return 2;
    }
    const char *to_password = nullptr;
    if (!options->copy_to.empty()) {
        to_password = std::getenv(options->to_password_env.c_str());
        if (!to_password) {
            std::cerr << "bench_ews_request_loop: $" << options->to_password_env << " is not set\n";
            return 2;
        }
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    Counters counters;
    int status = 0;
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = CpuSeconds();
    try {
        Client client(*options, options->user, password);
        const std::string folder_id = InboxFolderId(client, *options, counters);
        client.DropCredentials();
        std::optional<Client> target;
        std::optional<BundleWriter> writer;
        if (to_password) {
            target.emplace(*options, options->copy_to, to_password);
            std::string target_folder = InboxFolderId(*target, *options, counters);
            target->DropCredentials();
            writer.emplace(*target, std::move(target_folder), options->bundle);
        }
        const std::vector<ItemId> ids = ListItems(client, folder_id, options->max_items, counters);
        FetchItems(client, ids, writer ? &*writer : nullptr, counters);
    } catch (const std::exception &error) {
        std::cerr << "bench_ews_request_loop: " << error.what() << "\n";
        status = 1;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = CpuSeconds() - cpu_start;
    std::cout << "{\"items\": " << counters.items << ", \"requests\": " << counters.requests
              << ", \"connections\": " << counters.connections
              << ", \"bytes_sent\": " << counters.bytes_sent
              << ", \"bytes_received\": " << counters.bytes_received
              << ", \"mime_base64_bytes\": " << counters.mime_base64_bytes
              << ", \"written\": " << counters.written
              << ", \"create_item_requests\": " << counters.create_requests
              << ", \"resent\": " << counters.resent
              << ", \"bundle\": " << (options->copy_to.empty() ? 0 : options->bundle)
              << ", \"seconds\": " << seconds << ", \"cpu_seconds\": " << cpu
              << ", \"requests_per_second\": " << (seconds > 0 ? counters.requests / seconds : 0)
              << ", \"cpu_ms_per_item\": "
              << (counters.items ? cpu * 1000 / static_cast<double>(counters.items) : 0) << "}\n";
    curl_global_cleanup();
    return status;
}
