// Message buffers: text editing, growth, truncate, and frames sent and
// received over a socket pair (expected bytes written by hand).
#include "msg.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

ssize_t sendn(int fd, const void *buf, size_t len) {
    size_t done = 0;
    while (done < len) {
        ssize_t r = send(fd, static_cast<const char *>(buf) + done, len - done, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return r < 0 ? -errno : -EIO;
        done += r;
    }
    return static_cast<ssize_t>(len);
}

ssize_t recvn(int fd, void *buf, size_t len) {
    size_t done = 0;
    while (done < len) {
        ssize_t r = read(fd, static_cast<char *>(buf) + done, len - done);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return r < 0 ? -errno : 0;
        done += r;
    }
    return static_cast<ssize_t>(len);
}

// Frame bytes as the wire carries them: host-order length, text, zero.
std::string frame(uint32_t len, const std::string &body) {
    std::string f(reinterpret_cast<const char *>(&len), 4);
    return f + body;
}

class Msg : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv_));
        m_ = msg_new(sv_[0], sendn, recvn);
        ASSERT_NE(nullptr, m_);
    }
    void TearDown() override {
        if (m_)
            msg_unref(m_);
        close(sv_[0]);
        if (sv_[1] >= 0)
            close(sv_[1]);
    }
    void peer_write(const std::string &bytes) {
        ASSERT_EQ((ssize_t)bytes.size(), write(sv_[1], bytes.data(), bytes.size()));
    }
    std::string peer_read(size_t n) {
        std::string s(n, '\0');
        EXPECT_EQ((ssize_t)n, recvn(sv_[1], s.data(), n));
        return s;
    }
    int sv_[2] = {-1, -1};
    msg *m_ = nullptr;
};

TEST_F(Msg, EditingText) {
    EXPECT_STREQ("", msg_buffer(m_));
    EXPECT_EQ(0, msg_lastchar(m_));
    EXPECT_EQ(4096u, m_->buflen);
    EXPECT_EQ(0, msg_append(m_, "abc", 3));
    EXPECT_EQ(0, msg_appendf(m_, "-%d-%s", 42, "x"));
    EXPECT_STREQ("abc-42-x", msg_buffer(m_));
    EXPECT_EQ('x', msg_lastchar(m_));
    EXPECT_EQ(-EINVAL, msg_backspace(m_, 9));
    EXPECT_STREQ("abc-42-x", msg_buffer(m_));
    EXPECT_EQ(0, msg_backspace(m_, 2));
    EXPECT_STREQ("abc-42", msg_buffer(m_));
    EXPECT_EQ(0, msg_backspace(m_, 6));
    EXPECT_STREQ("", msg_buffer(m_));
    EXPECT_EQ(0, msg_lastchar(m_));
    EXPECT_EQ(0, msg_appendf(m_, "%s", ""));
    EXPECT_EQ(0u, msg_textlen(m_));
    EXPECT_EQ(0, msg_append(m_, "zz", 2));
    msg_reset(m_);
    EXPECT_STREQ("", msg_buffer(m_));
}

TEST_F(Msg, BufferGrowsToMultiplesOf4096) {
    // Room needed: length field (4) + text + zero byte.
    struct {
        size_t chars, buflen;
    } cases[] = {{4091, 4096}, {4092, 8192}, {5000, 8192}, {8187, 8192}, {8188, 12288}};
    for (const auto &c : cases) {
        msg *m = msg_new(sv_[0], sendn, recvn);
        ASSERT_NE(nullptr, m);
        std::string text(c.chars, 'q');
        text[c.chars - 1] = 'e';
        ASSERT_EQ(0, msg_append(m, text.data(), text.size()));
        EXPECT_EQ(c.buflen, m->buflen) << c.chars;
        EXPECT_EQ(text, msg_buffer(m));
        EXPECT_EQ('e', msg_lastchar(m));
        msg_unref(m);
    }
}

TEST_F(Msg, TruncateKeepsThePreviousTextUntilTheNext) {
    ASSERT_EQ(0, msg_append(m_, "request", 7));
    msg_truncate(m_);
    EXPECT_STREQ("", msg_buffer(m_));
    ASSERT_NE(nullptr, m_->buf_orig);
    EXPECT_STREQ("request", m_->buf_orig + 4);
    ASSERT_EQ(0, msg_append(m_, "reply", 5));
    msg_truncate(m_);
    EXPECT_STREQ("reply", m_->buf_orig + 4);
    EXPECT_STREQ("", msg_buffer(m_));
}

TEST_F(Msg, SendWritesTheExactFrame) {
    EXPECT_EQ(5, msg_send(m_));
    EXPECT_EQ(frame(1, std::string(1, '\0')), peer_read(5));
    ASSERT_EQ(0, msg_append(m_, "hello", 5));
    EXPECT_EQ(10, msg_send(m_));
    EXPECT_EQ(frame(6, std::string("hello\0", 6)), peer_read(10));
}

TEST_F(Msg, ReceiveFrames) {
    ASSERT_EQ(0, msg_append(m_, "pre:", 4));
    struct {
        std::string bytes;
        int ret;
        const char *text;
    } cases[] = {
        {frame(4, std::string("abc\0", 4)), 4, "pre:abc"},
        {frame(1, std::string(1, '\0')), 1, "pre:abc"}, // empty text
        {frame(3, "xyZ"), 3, "pre:abcxy"},              // last byte is the terminator's place
        {frame(0, ""), -EFAULT, "pre:abcxy"},
        {frame(MSG_MAX_LEN + 1, ""), -EFAULT, "pre:abcxy"},
    };
    for (const auto &c : cases) {
        peer_write(c.bytes);
        EXPECT_EQ(c.ret, msg_recv(m_)) << c.text;
        EXPECT_STREQ(c.text, msg_buffer(m_));
    }

    // A frame of 5000 characters grows the buffer.
    msg_reset(m_);
    std::string big(5000, 'b');
    big.push_back('\0');
    peer_write(frame(5001, big));
    EXPECT_EQ(5001, msg_recv(m_));
    EXPECT_EQ(5000u, msg_textlen(m_));
    EXPECT_EQ(8192u, m_->buflen);

    // A body cut short by the peer closing leaves the text as it was.
    msg_reset(m_);
    ASSERT_EQ(0, msg_append(m_, "kept", 4));
    peer_write(frame(10, "abc"));
    close(sv_[1]);
    sv_[1] = -1;
    EXPECT_EQ(0, msg_recv(m_));
    EXPECT_STREQ("kept", msg_buffer(m_));
    EXPECT_EQ(0, msg_recv(m_)); // closed before the length field
}

TEST_F(Msg, ReferencesKeepTheMessage) {
    EXPECT_EQ(m_, msg_ref(m_));
    EXPECT_EQ(2, m_->ref);
    msg_unref(m_);
    EXPECT_EQ(1, m_->ref);
    EXPECT_STREQ("", msg_buffer(m_)); // still usable (ASan checks)
    EXPECT_DEATH(msg_free(m_), "ref == 0");
}

} // namespace
