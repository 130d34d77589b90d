// In-process harness for the EWS operations of the sandbox: a fresh store
// in a temporary folder, run_operation on request text, every answer
// checked against the EWS schema, and XPath to read the answers.
#pragma once

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ews_operations.hpp"
#include "mail_codec.hpp"
#include "mail_store.hpp"
#include "qv_test_support.hpp"
#include "schema.hpp"

namespace ops_test {

namespace fs = std::filesystem;

inline constexpr const char *kNs =
    "xmlns:m=\"http://schemas.microsoft.com/exchange/services/2006/messages\" "
    "xmlns:t=\"http://schemas.microsoft.com/exchange/services/2006/types\"";

using qvtest::TempDir;

// An answer parsed for XPath with the prefixes m:, t: and s:.
class Answer {
  public:
    explicit Answer(const std::string &xml) : xml_(xml) {
        doc_.reset(xmlReadMemory(xml.data(), static_cast<int>(xml.size()), "answer.xml", nullptr,
                                 XML_PARSE_NONET));
    }
    bool ok() const { return doc_ != nullptr; }
    const std::string &xml() const { return xml_; }

    std::vector<std::string> all(const std::string &expr) const {
        std::vector<std::string> out;
        if (!doc_) return out;
        std::unique_ptr<xmlXPathContext, decltype(&xmlXPathFreeContext)> ctx(
            xmlXPathNewContext(doc_.get()), xmlXPathFreeContext);
        xmlXPathRegisterNs(ctx.get(), BAD_CAST "m",
                           BAD_CAST "http://schemas.microsoft.com/exchange/services/2006/messages");
        xmlXPathRegisterNs(ctx.get(), BAD_CAST "t",
                           BAD_CAST "http://schemas.microsoft.com/exchange/services/2006/types");
        xmlXPathRegisterNs(ctx.get(), BAD_CAST "s", BAD_CAST "http://schemas.xmlsoap.org/soap/envelope/");
        std::unique_ptr<xmlXPathObject, decltype(&xmlXPathFreeObject)> result(
            xmlXPathEvalExpression(BAD_CAST expr.c_str(), ctx.get()), xmlXPathFreeObject);
        if (!result || !result->nodesetval) return out;
        for (int i = 0; i < result->nodesetval->nodeNr; ++i) {
            xmlChar *v = xmlNodeGetContent(result->nodesetval->nodeTab[i]);
            out.emplace_back(v ? reinterpret_cast<const char *>(v) : "");
            xmlFree(v);
        }
        return out;
    }
    std::string one(const std::string &expr) const {
        auto v = all(expr);
        return v.empty() ? std::string("<none>") : v.front();
    }
    std::size_t count(const std::string &expr) const { return all(expr).size(); }
    // "name=value; ..." for each of the blank-separated `names` under
    // `prefix`: several fields of one record in one comparison.
    std::string fields(const std::string &prefix, const std::string &names) const {
        std::string out;
        std::istringstream list(names);
        for (std::string name; list >> name;)
            out += (out.empty() ? "" : "; ") + name + "=" + one(prefix + name);
        return out;
    }
    std::vector<std::string> codes() const { return all("//m:ResponseCode"); }

  private:
    struct Free {
        void operator()(xmlDocPtr d) const { xmlFreeDoc(d); }
    };
    std::string xml_;
    std::unique_ptr<xmlDoc, Free> doc_;
};

class OpsHarness {
  public:
    explicit OpsHarness(std::string mailbox = "alice@example.com") {
        store_ = sandbox::MailStore::open(dir_.path().string());
        config_.data_dir = dir_.path().string();
        ctx_.mailbox = std::move(mailbox);
        ctx_.principal = ctx_.mailbox;
        ctx_.config = &config_;
    }

    sandbox::MailStore &store() { return *store_; }
    sandbox::SandboxConfig &config() { return config_; }
    sandbox::RequestContext &ctx() { return ctx_; }
    const fs::path &dir() const { return dir_.path(); }
    std::int64_t home() { return store_->ensure_mailbox(ctx_.mailbox); }

    // Runs one operation element (written with m:/t: prefixes; the
    // namespace declarations are added), without looking at the answer.
    const sandbox::OperationResult &run_unchecked(const std::string &operation) {
        std::string name = operation.substr(1, operation.find_first_of(" >/") - 1);
        std::string request = "<" + name + " " + kNs + operation.substr(1 + name.size());
        std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> doc(
            xmlReadMemory(request.data(), static_cast<int>(request.size()), "request.xml", nullptr,
                          XML_PARSE_NONET),
            xmlFreeDoc);
        EXPECT_TRUE(doc) << "request is not well formed: " << request;
        last_ = doc ? sandbox::run_operation(*store_, ctx_, doc.get(), xmlDocGetRootElement(doc.get()))
                    : sandbox::OperationResult{};
        return last_;
    }
    // The same, checking the answer against the schema inside a SOAP envelope.
    Answer run(const std::string &operation) {
        run_unchecked(operation);
        std::string envelope = "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>" +
                               last_.body_xml + "</s:Body></s:Envelope>";
        std::string error;
        EXPECT_TRUE(sandbox::validate_soap(envelope, &error))
            << error << "\n" << last_.body_xml.substr(0, 4000);
        return Answer(envelope);
    }
    const sandbox::OperationResult &last() const { return last_; }
    // The response codes of the (checked) answer, blank-separated.
    std::string codes(const std::string &operation) {
        std::string out;
        for (const auto &code : run(operation).codes()) out += (out.empty() ? "" : " ") + code;
        return out;
    }

    std::string folder_id(std::int64_t mailbox, std::int64_t folder) {
        return store_->ids().encode({sandbox::IdKind::Folder, mailbox, folder, 0});
    }
    std::string item_id(const sandbox::ItemInfo &i) {
        return store_->ids().encode({sandbox::IdKind::Item, i.mailbox, i.id, 0});
    }

  private:
    TempDir dir_;
    std::unique_ptr<sandbox::MailStore> store_;
    sandbox::SandboxConfig config_;
    sandbox::RequestContext ctx_;
    sandbox::OperationResult last_;
};

// A file of tests/data/sandbox, each `@KEY@` of `fill` replaced.
inline std::string data_file(const std::string &name,
                             const std::vector<std::pair<std::string, std::string>> &fill = {}) {
    std::string text = qvtest::read_file(fs::path(QV_TEST_DATA_DIR) / name);
    for (const auto &[key, value] : fill)
        for (std::size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), value);
    return text;
}
// A request (or a piece of one) kept in tests/data/sandbox/requests,
// without its final line end.
inline std::string request_file(const std::string &name,
                                const std::vector<std::pair<std::string, std::string>> &fill = {}) {
    std::string text = data_file("requests/" + name, fill);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

// Request pieces the operation tests share.
inline std::string item_id(const std::string &id) { return "<t:ItemId Id=\"" + id + "\"/>"; }
// FindItem over a calendar view of `folder`: subject, start and item type.
inline std::string calendar_view(const char *start, const char *end, const std::string &extra = "",
                                 const char *folder = "calendar") {
    return "<m:FindItem Traversal=\"Shallow\"><m:ItemShape><t:BaseShape>IdOnly</t:BaseShape>"
           "<t:AdditionalProperties><t:FieldURI FieldURI=\"item:Subject\"/><t:FieldURI FieldURI=\"calendar:Start\"/>"
           "<t:FieldURI FieldURI=\"calendar:CalendarItemType\"/></t:AdditionalProperties></m:ItemShape>"
           "<m:CalendarView" + extra + " StartDate=\"" + start + "\" EndDate=\"" + end +
           "\"/><m:ParentFolderIds><t:DistinguishedFolderId Id=\"" + folder +
           "\"/></m:ParentFolderIds></m:FindItem>";
}
// The id of the first calendar item of an answer.
inline std::string calendar_item_id(const Answer &a) { return a.one("//t:CalendarItem/t:ItemId/@Id"); }
// Occurrence `index` (1-based) of the series `master`.
inline std::string occurrence(const std::string &master, int index) {
    return "<t:OccurrenceItemId RecurringMasterId=\"" + master + "\" InstanceIndex=\"" + std::to_string(index) + "\"/>";
}
// GetItem of `ids` (ItemId-like elements); `more` follows the base shape.
inline std::string get_item(const std::string &ids, const std::string &shape = "AllProperties",
                            const std::string &more = "") {
    return "<m:GetItem><m:ItemShape><t:BaseShape>" + shape + "</t:BaseShape>" + more +
           "</m:ItemShape><m:ItemIds>" + ids + "</m:ItemIds></m:GetItem>";
}
inline std::string additional(const std::string &paths) {
    return "<t:AdditionalProperties>" + paths + "</t:AdditionalProperties>";
}
// An extended property: the ExtendedFieldURI's attributes and its value
// element(s).
inline std::string ext_property(const std::string &uri_attributes, const std::string &value_xml) {
    return "<t:ExtendedProperty><t:ExtendedFieldURI " + uri_attributes + "/>" + value_xml + "</t:ExtendedProperty>";
}
// CreateItem of `items` with the operation's `attributes`, saved in
// `folder` (an id element) when one is given.
inline std::string create_item(const std::string &items, const std::string &attributes,
                               const std::string &folder = "") {
    const std::string saved = folder.empty() ? "" : "<m:SavedItemFolderId>" + folder + "</m:SavedItemFolderId>";
    return "<m:CreateItem" + attributes + ">" + saved + "<m:Items>" + items + "</m:Items></m:CreateItem>";
}
// DeleteItem of `ids` (ItemId-like elements).
inline std::string delete_items(const std::string &ids, const std::string &type = "HardDelete",
                                const std::string &more = " SendMeetingCancellations=\"SendToNone\"") {
    return "<m:DeleteItem DeleteType=\"" + type + "\"" + more + "><m:ItemIds>" + ids + "</m:ItemIds></m:DeleteItem>";
}
// UpdateItem of the item `id_element` names.
inline std::string update_item(const std::string &id_element, const std::string &updates,
                               const std::string &conflict = "AlwaysOverwrite",
                               const std::string &more = " MessageDisposition=\"SaveOnly\"") {
    return "<m:UpdateItem" + more + " ConflictResolution=\"" + conflict + "\"><m:ItemChanges><t:ItemChange>" +
           id_element + "<t:Updates>" + updates + "</t:Updates></t:ItemChange></m:ItemChanges></m:UpdateItem>";
}
// UpdateItem moving the calendar item `id_element` names.
inline std::string move_start(const std::string &id_element, const char *start, const char *end) {
    const std::string field = "<t:SetItemField><t:FieldURI FieldURI=\"calendar:";
    return update_item(id_element, field + "Start\"/><t:CalendarItem><t:Start>" + start +
                       "</t:Start></t:CalendarItem></t:SetItemField>" + field + "End\"/><t:CalendarItem><t:End>" + end +
                       "</t:End></t:CalendarItem></t:SetItemField>",
                       "AlwaysOverwrite", " SendMeetingInvitationsOrCancellations=\"SendToNone\"");
}
// CreateAttachment of one file; `extra` follows its name.
inline std::string create_attachment(const std::string &parent_id, const std::string &key, const std::string &name,
                                     const std::string &bytes, const std::string &extra = "") {
    return "<m:CreateAttachment><m:ParentItemId Id=\"" + parent_id + "\" ChangeKey=\"" + key +
           "\"/><m:Attachments><t:FileAttachment><t:Name>" + name + "</t:Name>" + extra + "<t:Content>" +
           sandbox::base64_encode(bytes) + "</t:Content></t:FileAttachment></m:Attachments></m:CreateAttachment>";
}
inline std::string get_attachments(const std::vector<std::string> &ids) {
    std::string xml = "<m:GetAttachment><m:AttachmentIds>";
    for (const auto &id : ids) xml += "<t:AttachmentId Id=\"" + id + "\"/>";
    return xml + "</m:AttachmentIds></m:GetAttachment>";
}
// MoveItem or CopyItem of one item into a distinguished folder.
inline std::string place(const std::string &operation, const std::string &id, const std::string &folder) {
    return "<m:" + operation + "><m:ToFolderId><t:DistinguishedFolderId Id=\"" + folder +
           "\"/></m:ToFolderId><m:ItemIds>" + item_id(id) + "</m:ItemIds></m:" + operation + ">";
}

// A small RFC 822 message.
inline std::string sample_mime(const std::string &subject, const std::string &date = "Tue, 05 Mar 2024 14:07:09 +0000",
                               const std::string &body = "Hello there.\r\n") {
    return "From: Bob Example <bob@example.com>\r\nTo: Alice <alice@example.com>\r\nSubject: " + subject +
           "\r\nDate: " + date + "\r\nMessage-ID: <" + subject + "@example.com>\r\nMIME-Version: 1.0\r\n"
           "Content-Type: text/plain; charset=utf-8\r\n\r\n" + body;
}

} // namespace ops_test
