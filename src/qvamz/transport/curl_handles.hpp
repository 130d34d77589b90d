// Owning wrappers for libcurl's easy handle, share handle and header list.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>
#include <string_view>

namespace qvamz {

struct CurlEasyDeleter {
    void operator()(CURL *handle) const noexcept { curl_easy_cleanup(handle); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;

struct CurlShareDeleter {
    void operator()(CURLSH *share) const noexcept { curl_share_cleanup(share); }
};
// Released only after every easy handle that uses it.
using CurlShare = std::unique_ptr<CURLSH, CurlShareDeleter>;

// A curl_slist of request header lines.  curl_slist_append() may move the
// head, so the list is only ever grown through append().
class HeaderList {
  public:
    HeaderList() = default;
    HeaderList(HeaderList &&other) noexcept : head_(other.head_) { other.head_ = nullptr; }
    HeaderList &operator=(HeaderList &&other) noexcept
    {
        if (this != &other) {
            reset();
            head_ = other.head_;
            other.head_ = nullptr;
        }
        return *this;
    }
    HeaderList(const HeaderList &) = delete;
    HeaderList &operator=(const HeaderList &) = delete;
    ~HeaderList() { reset(); }

    // Appends one header line; false when memory runs out (the list is kept).
    bool append(std::string_view line)
    {
        const std::string text(line);
        curl_slist *grown = curl_slist_append(head_, text.c_str());
        if (!grown)
            return false;
        head_ = grown;
        return true;
    }

    curl_slist *get() const noexcept { return head_; }
    bool empty() const noexcept { return head_ == nullptr; }

    void reset() noexcept
    {
        curl_slist_free_all(head_);
        head_ = nullptr;
    }

  private:
    curl_slist *head_ = nullptr;
};

} // namespace qvamz
