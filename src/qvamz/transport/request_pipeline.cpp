// Read-ahead through curl multi (see request_pipeline.hpp).
#include "transport/request_pipeline.hpp"

#include <algorithm>

#include "frame/session.hpp"
#include "qv/qvcom.h"
#include "transport/soap_request.hpp"

namespace qvamz {
namespace {

constexpr int kPollMs = 1000; // longest sleep in curl_multi_poll; the keepalive ticks between
constexpr std::string_view kBusyResponseCode = "ErrorServerBusy";

} // namespace

RequestPipeline::RequestPipeline(Session &session, int window)
    : session_(session), multi_(curl_multi_init()),
      window_(std::clamp(window, kPrefetchMin, kPrefetchMax))
{
    if (multi_)
        curl_multi_setopt(multi_.get(), CURLMOPT_MAX_HOST_CONNECTIONS,
                          static_cast<long>(kPrefetchMax));
}

RequestPipeline::~RequestPipeline()
{
    // Handles leave the multi before either is cleaned up.
    for (const auto &transfer : pending_)
        if (!transfer->done)
            curl_multi_remove_handle(multi_.get(), transfer->handle.get());
    pending_.clear();
    spare_.clear();
}

CurlEasy RequestPipeline::TakeHandle()
{
    if (!spare_.empty()) {
        CurlEasy handle = std::move(spare_.back());
        spare_.pop_back();
        return handle;
    }
    CurlEasy handle(curl_easy_init());
    if (handle)
        SetupSharingHandle(session_, handle.get());
    return handle;
}

bool RequestPipeline::Start(std::string envelope)
{
    if (!multi_ || !HasRoom() || session_.state.transport.handle == nullptr)
        return false;
    auto transfer = std::make_unique<Transfer>();
    transfer->handle = TakeHandle();
    if (!transfer->handle)
        return false;
    transfer->envelope = std::move(envelope);
    transfer->files.response_text = &transfer->post.answer;
    PrepareMemoryPost(session_, transfer->handle.get(), transfer->files, transfer->post.result,
                      transfer->envelope);
    curl_easy_setopt(transfer->handle.get(), CURLOPT_PRIVATE, transfer.get());
    if (curl_multi_add_handle(multi_.get(), transfer->handle.get()) != CURLM_OK) {
        spare_.push_back(std::move(transfer->handle));
        return false;
    }
    pending_.push_back(std::move(transfer));
    most_in_flight_ = std::max(most_in_flight_, static_cast<int>(pending_.size()));
    Drive(); // puts the request on the wire now, not at the next wait
    return true;
}

void RequestPipeline::Drive()
{
    int running = 0;
    curl_multi_perform(multi_.get(), &running);
    int left = 0;
    while (CURLMsg *message = curl_multi_info_read(multi_.get(), &left))
        if (message->msg == CURLMSG_DONE)
            Finish(message->easy_handle, message->data.result);
}

void RequestPipeline::Finish(CURL *handle, CURLcode code)
{
    Transfer *transfer = nullptr;
    curl_easy_getinfo(handle, CURLINFO_PRIVATE, reinterpret_cast<char **>(&transfer));
    curl_multi_remove_handle(multi_.get(), handle);
    if (!transfer)
        return;
    ConcludeTransfer(session_, transfer->files, code, transfer->post.result);
    transfer->post.answer_too_large = transfer->files.answer_too_large;
    transfer->done = true;
    ShrinkOnBusy(transfer->post);
}

void RequestPipeline::ShrinkOnBusy(const FinishedPost &post)
{
    if (!post.result.ok || window_ == kPrefetchMin ||
        !SaysServerBusy(post.result.http_status, post.answer))
        return;
    window_ = std::max(kPrefetchMin, window_ / 2);
    com_Log("QV Info: server busy, reading ahead %d item%s at most", window_,
            window_ == 1 ? "" : "s");
}

void RequestPipeline::WaitForOldest()
{
    Keepalive &keepalive = session_.state.transport.keepalive;
    BeginTransfer(keepalive);
    while (!pending_.front()->done) {
        Drive();
        if (pending_.front()->done)
            break;
        curl_multi_poll(multi_.get(), nullptr, 0, kPollMs, nullptr);
        KeepaliveTick(keepalive);
    }
    EndTransfer(keepalive);
}

std::optional<FinishedPost> RequestPipeline::Claim(std::string_view envelope)
{
    if (pending_.empty() || pending_.front()->envelope != envelope)
        return std::nullopt;
    WaitForOldest();
    std::unique_ptr<Transfer> oldest = std::move(pending_.front());
    pending_.pop_front();
    // A transfer cut off in the middle leaves its handle unfit for reuse.
    if (oldest->post.result.ok)
        spare_.push_back(std::move(oldest->handle));
    return std::move(oldest->post);
}

ReadAheadScope::ReadAheadScope(Session &session, RequestPipeline *pipeline)
    : session_(session), saved_(session.state.transport.read_ahead)
{
    session_.state.transport.read_ahead = pipeline;
}

ReadAheadScope::~ReadAheadScope() { session_.state.transport.read_ahead = saved_; }

bool SaysServerBusy(int http_status, std::string_view answer)
{
    if (http_status == 504)
        return true;
    const std::string_view head = answer.substr(0, kBusyScanBytes);
    return head.find(kBusyResponseCode) != std::string_view::npos ||
           head.find(kBusyFaultText) != std::string_view::npos;
}

} // namespace qvamz
