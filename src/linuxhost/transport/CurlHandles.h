// Owning handles for the C objects of libcurl and OpenSSL that the transport uses, so that every
// exit path of a request releases what it created.
#pragma once

#include <curl/curl.h>
#include <openssl/bio.h>
#include <openssl/x509.h>

#include <memory>

namespace ZEL {
namespace linuxhost {
namespace transport {

struct CurlEasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct CurlSlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct CurlUrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct CurlTextDeleter {
    void operator()(char* text) const { curl_free(text); }
};
struct X509Deleter {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

using CurlEasyPtr = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlSlistPtr = std::unique_ptr<curl_slist, CurlSlistDeleter>;
using CurlUrlPtr = std::unique_ptr<CURLU, CurlUrlDeleter>;
using CurlTextPtr = std::unique_ptr<char, CurlTextDeleter>;
using X509Ptr = std::unique_ptr<X509, X509Deleter>;
using BioPtr = std::unique_ptr<BIO, BioDeleter>;

}  // namespace transport
}  // namespace linuxhost
}  // namespace ZEL
