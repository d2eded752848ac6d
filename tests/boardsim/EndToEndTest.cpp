// The whole built-in image through a bare pseudo-terminal descriptor: the encoder's purge and
// write straight on the slave.
#include "PtyClient.h"
#include "UpdateRun.h"

namespace {

class SlaveLine {
public:
    SlaveLine(const std::string& path, updaterun::Replies& replies)
        : port_(path), replies_(replies) {}
    void SetBaud(int baud) { port_.SetBaud(baud); }
    void WriteText(const std::string& text) { port_.Write(text); }
    void ClearBuffer(bool input, bool output) {
        if (input || output)
            tcflush(port_.Fd(), input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH);
    }
    void Write(const void* data, int length) {
        port_.Write(std::string(static_cast<const char*>(data), static_cast<size_t>(length)));
    }
    bool Pump(const std::function<bool()>& done, updaterun::Limit limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            auto left = std::chrono::duration_cast<updaterun::Limit>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            std::string bytes = port_.Read(1, left);
            ParseReplyBytes(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()),
                            replies_);
        }
        return true;
    }

private:
    PtyClient port_;
    updaterun::Replies& replies_;
};

} // namespace

TEST(EndToEnd, BuiltInImageThroughTheSlaveDescriptor) {
    updaterun::UpdateWholeImage<SlaveLine>();
}
