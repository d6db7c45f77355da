// status --kea over HTTP and HTTPS, with libcurl.
#include <curl/curl.h>

#include <fstream>
#include <memory>
#include <string>

#include "tools/macgate/status/kea_channel.h"

namespace macgate {
namespace {

size_t Collect(char* data, size_t size, size_t count, void* answer) {
    static_cast<std::string*>(answer)->append(data, size * count);
    return size * count;
}

// The first line of the authentication file, which must hold a ':'.
bool ReadCredentials(const std::string& path, std::string* credentials, std::string* why) {
    std::ifstream file(path);
    if (!file || !std::getline(file, *credentials)) {
        *why = "the authentication file " + path + " cannot be read";
        return false;
    }
    if (!credentials->empty() && credentials->back() == '\r') {
        credentials->pop_back();
    }
    if (credentials->find(':') == std::string::npos) {
        *why = "the first line of " + path + " must be USER:PASSWORD";
        return false;
    }
    return true;
}

}  // namespace

bool AskKeaHttp(const std::string& url, const std::string& request, const KeaAccess& access,
                int seconds, std::string* answer, std::string* why) {
    std::string credentials;
    if (!access.authFile.empty() && !ReadCredentials(access.authFile, &credentials, why)) {
        return false;
    }
    std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl) {
        *why = "libcurl cannot start";
        return false;
    }
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> headers(
        curl_slist_append(nullptr, "Content-Type: application/json"), curl_slist_free_all);
    char error[CURL_ERROR_SIZE] = {};
    CURL* handle = curl.get();
    answer->clear();
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, static_cast<long>(seconds));
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, request.c_str());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(request.size()));
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, answer);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error);
    if (!credentials.empty()) {
        curl_easy_setopt(handle, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
        curl_easy_setopt(handle, CURLOPT_USERPWD, credentials.c_str());
    }
    if (!access.caFile.empty()) {
        curl_easy_setopt(handle, CURLOPT_CAINFO, access.caFile.c_str());
    }
    const CURLcode result = curl_easy_perform(handle);
    if (result != CURLE_OK) {
        *why = error[0] != '\0' ? error : curl_easy_strerror(result);
        return false;
    }
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        *why = "the server answers HTTP status " + std::to_string(status) +
               (status == 401 ? " (authentication required or refused: see --auth-file)" : "");
        return false;
    }
    return true;
}

}  // namespace macgate
