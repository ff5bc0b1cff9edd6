#include "tests/support/FenwaveSimulator.h"

#include "tests/support/RawHttpClient.h"
#include "tests/support/TestEnv.h"

#include <strings.h>

#include <sstream>
#include <stdexcept>

namespace {

const char* ModeName(CFenwaveSimulator::EMode mode) {
    using M = CFenwaveSimulator::EMode;
    switch (mode) {
    case M::Delay:
        return "delay";
    case M::Stall:
        return "stall";
    case M::Close:
        return "close";
    case M::Status:
        return "status";
    case M::Garbage:
        return "garbage";
    case M::Empty:
        return "empty";
    case M::Body:
        return "body";
    case M::Redirect:
        return "redirect";
    }
    return "";
}

/// The number after "\"key\":" in the ports line, or 0.
std::uint16_t PortFromLine(const std::string& line, const std::string& key) {
    auto pos = line.find("\"" + key + "\":");
    if (pos == std::string::npos)
        return 0;
    long value = std::strtol(line.c_str() + pos + key.size() + 3, nullptr, 10);
    return value > 0 && value < 65536 ? static_cast<std::uint16_t>(value) : 0;
}

/// Reads the simulator's length-prefixed records "<tag> <length>\n<bytes>\n".
class CRecordReader {
public:
    explicit CRecordReader(const std::string& data) : mData(data) {}
    /// False at the end; throws on malformed data.
    bool Next(std::string& tag, std::string& value) {
        if (mPos >= mData.size())
            return false;
        auto space = mData.find(' ', mPos);
        auto nl = mData.find('\n', mPos);
        if (space == std::string::npos || nl == std::string::npos || nl < space)
            throw std::runtime_error("simulator record list is malformed");
        tag = mData.substr(mPos, space - mPos);
        std::size_t length = std::stoul(mData.substr(space + 1, nl - space - 1));
        if (nl + 1 + length + 1 > mData.size() || mData[nl + 1 + length] != '\n')
            throw std::runtime_error("simulator record list is truncated");
        value = mData.substr(nl + 1, length);
        mPos = nl + 1 + length + 1;
        return true;
    }

private:
    const std::string& mData;
    std::size_t mPos = 0;
};

std::vector<CFenwaveSimulator::CRequest> ParseRequests(const std::string& data) {
    std::vector<CFenwaveSimulator::CRequest> out;
    CRecordReader reader(data);
    std::string tag, value;
    while (reader.Next(tag, value)) {
        if (tag == "request") {
            out.emplace_back();
            continue;
        }
        if (out.empty())
            throw std::runtime_error("simulator record list does not start with a request");
        auto& r = out.back();
        if (tag == "method")
            r.method = value;
        else if (tag == "target")
            r.target = value;
        else if (tag == "version")
            r.version = value;
        else if (tag == "header-name")
            r.headers.emplace_back(value, std::string());
        else if (tag == "header-value" && !r.headers.empty())
            r.headers.back().second = value;
        else if (tag == "head")
            r.head = value;
        else if (tag == "body")
            r.body = value;
    }
    return out;
}

std::vector<CFenwaveSimulator::CEntry> ParseEntries(const std::string& data) {
    std::vector<CFenwaveSimulator::CEntry> out;
    CRecordReader reader(data);
    std::string tag, value;
    while (reader.Next(tag, value)) {
        if (tag == "entry") {
            out.emplace_back();
            continue;
        }
        if (out.empty())
            throw std::runtime_error("simulator record list does not start with an entry");
        auto& e = out.back();
        if (tag == "user")
            e.user = value;
        else if (tag == "index")
            e.index = std::stoi(value);
        else if (tag == "artist")
            e.artist = value;
        else if (tag == "album")
            e.album = value;
        else if (tag == "title")
            e.title = value;
        else if (tag == "time")
            e.playTime = value;
        else if (tag == "length")
            e.length = value;
        else if (tag == "id")
            e.trackId = value;
    }
    return out;
}

std::string Enc(const std::string& value) {
    return CRawHttpClient::FormEncode(value);
}

} // namespace

std::string CFenwaveSimulator::CRequest::Header(const std::string& name) const {
    for (const auto& [n, v] : headers)
        if (strcasecmp(n.c_str(), name.c_str()) == 0)
            return v;
    return {};
}

CFenwaveSimulator::CFenwaveSimulator(const std::vector<std::pair<std::string, std::string>>& users) {
    std::vector<std::string> argv = {"/usr/bin/python3", SourceDir() + "/tools/fenwave-sim.py",
                                     "--submit-port",    "0",
                                     "--web-port",       "0",
                                     "--static-port",    "0",
                                     "--watch-stdin"};
    for (const auto& [name, password] : users) {
        argv.push_back("--user");
        argv.push_back(name + ":" + password);
    }
    // Standard input is a pipe that only closes when this process ends, so a
    // crashed test does not leave the simulator behind.
    mProcess =
        std::make_unique<CTestProcess>(argv, CTestProcess::COptions{.pipeStdin = true, .pipeStdout = true});
    std::string line;
    if (!mProcess->ReadLine(line, std::chrono::seconds(30)))
        throw std::runtime_error("the Fenwave simulator did not report its ports");
    mPorts[0] = PortFromLine(line, "submit");
    mPorts[1] = PortFromLine(line, "web");
    mPorts[2] = PortFromLine(line, "static");
    if (!mPorts[0] || !mPorts[1] || !mPorts[2])
        throw std::runtime_error("the Fenwave simulator reported unusable ports: " + line);
}

CFenwaveSimulator::~CFenwaveSimulator() = default;

std::uint16_t CFenwaveSimulator::Port(ERole role) const noexcept {
    return mPorts[static_cast<int>(role)];
}

std::string CFenwaveSimulator::Host(ERole role) const {
    return "127.0.0.1:" + std::to_string(Port(role));
}

std::string CFenwaveSimulator::Control(ERole role, const std::string& call, const std::string& body,
                                       std::chrono::milliseconds timeout) {
    auto reply = CRawHttpClient::Request(Port(role), "POST", "/__sim/" + call, body, {}, timeout);
    if (reply.status != 200)
        throw std::runtime_error("simulator control call " + call + " failed: " + reply.statusLine + " " +
                                 reply.body);
    return reply.body;
}

void CFenwaveSimulator::AddUser(const std::string& name, const std::string& password) {
    Control(ERole::Submit, "user?name=" + Enc(name) + "&password=" + Enc(password));
}

void CFenwaveSimulator::RemoveUser(const std::string& name) {
    Control(ERole::Submit, "user?name=" + Enc(name) + "&delete=1");
}

void CFenwaveSimulator::SetBehaviour(ERole role, const std::string& prefix, const CBehaviour& behaviour) {
    std::ostringstream call;
    call << "behaviour?prefix=" << Enc(prefix) << "&mode=" << ModeName(behaviour.mode)
         << "&seconds=" << behaviour.delaySeconds << "&count=" << behaviour.count;
    if (behaviour.status)
        call << "&code=" << behaviour.status;
    if (!behaviour.location.empty())
        call << "&location=" << Enc(behaviour.location);
    Control(role, call.str(), behaviour.body);
}

void CFenwaveSimulator::ClearBehaviour(ERole role, const std::string& prefix) {
    Control(role, "behaviour?prefix=" + Enc(prefix) + "&mode=none");
}

void CFenwaveSimulator::ForceReply(bool handshake, const std::string& reply, int count) {
    Control(ERole::Submit, std::string("reply?kind=") + (handshake ? "handshake" : "submit") +
                               "&text=" + Enc(reply) + "&count=" + std::to_string(count));
}

void CFenwaveSimulator::SetOutdatedVersion(const std::string& clientVersion, const std::string& updateUrl) {
    Control(ERole::Submit, "outdated?version=" + Enc(clientVersion) + "&url=" + Enc(updateUrl));
}

void CFenwaveSimulator::SetInstallerLog(const std::string& path) {
    Control(ERole::Static, "installer-log?path=" + Enc(path));
}

void CFenwaveSimulator::SetSubmitUrl(const std::string& url) {
    Control(ERole::Submit, "submit-url?url=" + Enc(url));
}

void CFenwaveSimulator::SetFile(const std::string& target, const std::string& content, ERole role,
                                std::size_t bytesPerSecond) {
    Control(role, "file?path=" + Enc(target) + "&rate=" + std::to_string(bytesPerSecond), content);
}

void CFenwaveSimulator::SetGeneratedFile(const std::string& target, std::size_t size,
                                         std::size_t bytesPerSecond, ERole role) {
    Control(role, "file?path=" + Enc(target) + "&size=" + std::to_string(size) +
                      "&rate=" + std::to_string(bytesPerSecond));
}

void CFenwaveSimulator::RemoveFile(const std::string& target, ERole role) {
    Control(role, "file?path=" + Enc(target) + "&delete=1");
}

void CFenwaveSimulator::SetMetadata(const std::string& target, const std::string& answer) {
    Control(ERole::Web, "file?path=" + Enc(target) + "&type=text%2fplain", answer);
}

void CFenwaveSimulator::Reset() {
    Control(ERole::Submit, "reset");
}

std::vector<CFenwaveSimulator::CRequest> CFenwaveSimulator::Requests(ERole role) {
    return ParseRequests(Control(role, "requests?format=lp"));
}

bool CFenwaveSimulator::WaitForRequests(ERole role, std::size_t count, std::chrono::milliseconds timeout) {
    auto data = Control(role,
                        "requests?format=lp&wait=" + std::to_string(count) +
                            "&timeout=" + std::to_string(timeout.count()),
                        {}, timeout + std::chrono::seconds(10));
    return ParseRequests(data).size() >= count;
}

std::vector<CFenwaveSimulator::CEntry> CFenwaveSimulator::SubmittedEntries() {
    return ParseEntries(Control(ERole::Submit, "entries?format=lp"));
}

bool CFenwaveSimulator::WaitForSubmissions(std::size_t count, std::chrono::milliseconds timeout) {
    auto data = Control(ERole::Submit,
                        "entries?format=lp&wait=" + std::to_string(count) +
                            "&timeout=" + std::to_string(timeout.count()),
                        {}, timeout + std::chrono::seconds(10));
    return ParseEntries(data).size() >= count;
}

std::string CFenwaveSimulator::Token(const std::string& user, const std::string& salt) {
    return Control(ERole::Submit, "token?user=" + Enc(user) + "&salt=" + Enc(salt));
}

std::string CFenwaveSimulator::QuotedFields(const std::vector<std::string>& fields) {
    std::string out;
    for (const auto& f : fields) {
        out += '"';
        for (char c : f) {
            out += c;
            if (c == '"')
                out += '"';
        }
        out += "\"\n";
    }
    return out;
}

std::string CFenwaveSimulator::RecordingInstaller(const std::string& logFile) {
    std::string quoted = "'";
    for (char c : logFile) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += "'";
    return "#!/bin/sh\necho \"$0 $@\" >> " + quoted + "\nexit 0\n";
}
