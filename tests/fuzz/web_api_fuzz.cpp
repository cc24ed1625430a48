// Feeds one HTTP request, as bytes, to the station's request handling
// without a socket: parsed with the server's limits and answered by the API
// of a station with no slots, a token and a record file of a few records.
// Every answer must be one the server can send, and a request that carries
// neither the token nor the page's cookie must never get through.
//
// Input: byte 0 picks the record file's contents (bits 0-1) and whether the
// station is a batch (bit 2); the rest is the request as a client sends it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <unistd.h>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "station/station.h"
#include "web/web_api.h"
#include "web/web_http.h"

namespace {

constexpr char kToken[] = "fuzz-token-7f3a";
constexpr unsigned short kPort = 8080;

void Check(bool bHolds, const char* pWhat, std::string_view request) {
    if (!bHolds) {
        std::fprintf(stderr, "web_api_fuzz: %s for %.*s\n", pWhat, static_cast<int>(request.size()), request.data());
        std::abort();
    }
}

// Record files: empty, two stations' records, and one with a line cut short
// and a line that is no object.
const char* const kRecordFiles[] = {
    "",
    "{\"station\":\"fuzz\",\"run\":1,\"end\":\"completed\"}\n{\"station\":\"other\",\"run\":2}\n{\"run\":3}\n",
    "[1,2]\n{\"station\":\"fuzz\",\"run\":4}\n{\"station\":\"fu",
    "\n\n{\"station\":\"fuzz\",\"unit\":\"\xff\xfe\"}\n",
};

struct Place {
    std::string record;
    StationSettings settings;
    Station station{settings};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    static Place place;
    static const std::string recordPath = [] {
        char name[] = "/tmp/web_api_fuzz_XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0) {
            close(fd);
        }
        return std::string(name);
    }();
    {
        std::ofstream file(recordPath, std::ios::binary | std::ios::trunc);
        file << kRecordFiles[pData[0] & 3];
    }
    WebSettings settings;
    settings.token = kToken;
    settings.record = recordPath;
    settings.stationName = "fuzz";
    settings.bBatch = (pData[0] & 4) != 0;
    WebApi api(place.station, settings);
    api.OwnPlaceSet(kPort, "fuzzhost");

    const std::string_view request(reinterpret_cast<const char*>(pData) + 1, size - 1);
    bool bHead = false;
    const WebAnswer answer = WebAnswerOfBytes(api, request, bHead);
    if (answer.status == 0) {
        return 0;  // not a whole request: the server waits for more
    }
    Check(answer.status >= 200 && answer.status <= 599, "a status out of range", request);
    Check(answer.status != 405 || !answer.allow.empty(), "405 without Allow", request);
    Check(answer.status != 303 || answer.location == "/", "303 elsewhere than the page", request);
    if (answer.contentType == "application/json") {
        Check(nlohmann::json::accept(answer.body), "an answer that is no JSON", request);
    }
    // Through only with the token or the cookie, which holds no form of it.
    const bool bThrough = answer.status < 300 || answer.bEvents;
    const bool bCarries = request.find(kToken) != std::string_view::npos ||
                          request.find("kelvora_8080=") != std::string_view::npos;
    Check(!bThrough || bCarries, "an answer without the token", request);
    Check(answer.setCookie.find(kToken) == std::string::npos, "the token in the cookie", request);
    return 0;
}
