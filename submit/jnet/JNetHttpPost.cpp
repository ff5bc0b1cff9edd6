#include "submit/jnet/JNetHttpPost.h"

#include <chrono>

JNetHttpPost::JNetHttpPost(JNetResolver* resolver, std::size_t receiveBufferSize, std::string_view proxy)
    : JNetHttpGet(resolver, receiveBufferSize, proxy) {
    mPost = true;
}

JNetHttpPost::~JNetHttpPost() = default;

void JNetHttpPost::setBody(const char* text, std::size_t length) {
    setPostBody(text == nullptr ? std::string_view() : std::string_view(text, length));
}

void JNetHttpPost::connect(std::string_view url, int httpMinorVersion) {
    restartClock();
    startRequest(url, httpMinorVersion, "POST", true);
}
