// The emulator process, spoken to over its wire protocol by a small native
// client, as the emulation build of the Windows program will speak to it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/command_frame.h"
#include "emulator/server/wire.h"

namespace {

using namespace VantriWire;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::filesystem::path ServerProgram()
{
    if (const char* path = std::getenv("VANTRI_EMULATOR"))
        return path;
    // build/tests/vantri_emulator_tests -> build/emulator/vantri_emulator
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "emulator" / "vantri_emulator";
}

// One emulator process for the life of the object.
class ServerProcess {
public:
    explicit ServerProcess(std::vector<std::string> arguments)
    {
        int out[2];
        if (::pipe(out) != 0)
            return;
        const std::string program = ServerProgram().string();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::close(out[0]);
            ::close(out[1]);
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (auto& a : arguments)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        stdout_ = out[0];
        // The first line is "port=P".
        std::string line;
        char c;
        while (::read(stdout_, &c, 1) == 1 && c != '\n')
            line += c;
        if (line.rfind("port=", 0) == 0)
            port_ = static_cast<std::uint16_t>(std::stoi(line.substr(5)));
    }
    ~ServerProcess()
    {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (stdout_ >= 0)
            ::close(stdout_);
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    std::uint16_t Port() const { return port_; }

    // Sends SIGTERM and gives the exit code (-1 when it did not exit normally).
    int Terminate()
    {
        ::kill(pid_, SIGTERM);
        return Wait();
    }
    int Wait()
    {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int stdout_ = -1;
    std::uint16_t port_ = 0;
    bool exited_ = false;
};

struct Reply {
    std::vector<std::uint8_t> body;
    std::uint8_t type = 0;
    std::uint32_t status = 0xFFFFFFFF;
};

class Client {
public:
    explicit Client(std::uint16_t port)
    {
        socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        const int one = 1;
        ::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~Client() { ::close(socket_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Connected() const { return connected_; }

    // Sends a request and reads its reply; `reader` is positioned after the
    // status.
    Reply Call(Writer& request)
    {
        Reply reply;
        if (!SendAll(socket_, request.Finish()) || !ReceiveMessage(socket_, reply.body))
            return reply;
        Reader reader(reply.body);
        reply.type = reader.U8();
        reply.status = reader.U32();
        return reply;
    }

    std::vector<std::u16string> List()
    {
        Writer request(kList);
        Reply reply = Call(request);
        Reader reader(reply.body);
        reader.U8();
        reader.U32();
        std::vector<std::u16string> paths(reader.U32());
        for (auto& path : paths)
            path = reader.Text();
        EXPECT_TRUE(reader.ok());
        return paths;
    }

    std::uint32_t Open(const std::u16string& path)
    {
        Writer request(kOpen);
        request.Text(path);
        return Call(request).status;
    }

    // WRITE of one frame; gives status and transferred.
    std::pair<std::uint32_t, std::uint32_t> Write(const Vantri::CommandFrame& frame)
    {
        std::uint8_t report[kReportSize]{};
        std::memcpy(report + 1, &frame, sizeof frame);
        Writer request(kWrite);
        request.U32(1000).U32(kReportSize).Bytes(report, kReportSize);
        Reply reply = Call(request);
        Reader reader(reply.body);
        reader.U8();
        reader.U32();
        return {reply.status, reader.U32()};
    }

    // READ with a time limit; the answer frame lands in `frame`.
    std::pair<std::uint32_t, std::uint32_t> Read(std::uint32_t timeLimitMs, Vantri::CommandFrame& frame)
    {
        Writer request(kRead);
        request.U32(timeLimitMs).U32(kReportSize);
        Reply reply = Call(request);
        Reader reader(reply.body);
        reader.U8();
        reader.U32();
        const std::uint32_t transferred = reader.U32();
        if (transferred == kReportSize) {
            const std::uint8_t* report = reader.Bytes(kReportSize);
            EXPECT_EQ(report[0], 0);
            std::memcpy(&frame, report + 1, sizeof frame);
        }
        return {reply.status, transferred};
    }

    // One exchange, as SendCommand makes it.
    Vantri::CommandFrame Exchange(const Vantri::CommandFrame& frame)
    {
        Vantri::CommandFrame answer{};
        EXPECT_EQ(Write(frame), std::make_pair(kStatusOk, kReportSize));
        EXPECT_EQ(Read(2000, answer), std::make_pair(kStatusOk, kReportSize));
        return answer;
    }

    // True when the server has closed the connection (a reset included: it
    // may close with our bytes still unread).
    bool ClosedByPeer()
    {
        std::uint8_t byte;
        return ::recv(socket_, &byte, 1, 0) <= 0;
    }

private:
    int socket_ = -1;
    bool connected_ = false;
};

// The documented path of adapter I.
std::u16string AdapterPath(std::uint32_t adapter)
{
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04u", adapter);
    const std::string path = std::string("\\\\?\\hid#vid_2387&pid_0003#8&emu&0&") + digits +
                             "#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    return std::u16string(path.begin(), path.end());
}

Vantri::CommandFrame Frame(std::uint8_t command, std::uint16_t parameter = 0, std::uint8_t status = 0)
{
    Vantri::CommandFrame frame{};
    frame.command = command;
    Vantri::SetFrameParameter(frame, parameter);
    frame.status = status;
    return frame;
}

std::string ReadText(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class ServerProcessTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(std::filesystem::exists(ServerProgram())) << ServerProgram(); }
};

TEST_F(ServerProcessTest, ListOpenAskWriteReadClose)
{
    ServerProcess server({"--adapters", "2", "--non-adapters", "4", "--version", "1/4.01.20170101"});
    ASSERT_NE(server.Port(), 0);
    Client control(server.Port());
    ASSERT_TRUE(control.Connected());

    const auto paths = control.List();
    ASSERT_EQ(paths.size(), 6u);
    EXPECT_EQ(paths[4], AdapterPath(0));
    EXPECT_EQ(paths[5], AdapterPath(1));
    EXPECT_EQ(paths[5], u"\\\\?\\hid#vid_2387&pid_0003#8&emu&0&0001#{4d1e55b2-f16f-11cf-88cb-001111000030}");

    Client handle(server.Port());
    ASSERT_EQ(handle.Open(paths[5]), kStatusOk);

    Writer attributes(kAttributes);
    Reply reply = handle.Call(attributes);
    EXPECT_EQ(reply.type, kAttributes | kReplyBit);
    EXPECT_EQ(reply.status, kStatusOk);
    Reader fields(reply.body);
    fields.Bytes(5);
    EXPECT_EQ(fields.U16(), 0x2387);
    EXPECT_EQ(fields.U16(), 3);
    EXPECT_EQ(fields.U16(), 0x0400);

    Writer product(kProduct);
    product.U32(64);
    reply = handle.Call(product);
    EXPECT_EQ(reply.status, kStatusOk);
    Reader text(reply.body);
    text.Bytes(5);
    ASSERT_EQ(text.U32(), 16u); // "Vantri4" and its terminator
    std::u16string name;
    for (int i = 0; i < 8; ++i)
        name.push_back(static_cast<char16_t>(text.U16()));
    EXPECT_EQ(name, std::u16string(u"Vantri4\0", 8));
    Writer shortBuffer(kProduct);
    shortBuffer.U32(6);
    reply = handle.Call(shortBuffer);
    Reader cut(reply.body);
    cut.Bytes(5);
    EXPECT_EQ(cut.U32(), 6u);

    const Vantri::CommandFrame page2 = handle.Exchange(Frame(21, 0, 2));
    EXPECT_EQ(page2.command, 21 | 0x80);
    EXPECT_EQ(page2.length, 56);
    EXPECT_EQ(0, std::memcmp(page2.data + 4, "4.01.20170101", 14));

    // Exclusive: a second open of the same path is a sharing violation.
    Client second(server.Port());
    EXPECT_EQ(second.Open(paths[5]), kStatusSharingViolation);
    EXPECT_EQ(second.Open(u"\\\\?\\hid#nothing"), kStatusFileNotFound);
    Writer notBound(kAttributes);
    EXPECT_EQ(second.Call(notBound).status, kStatusInvalidHandle);
    Writer listOnHandle(kList);
    EXPECT_EQ(handle.Call(listOnHandle).status, kStatusInvalidHandle);
    Writer unknown(0x42);
    EXPECT_EQ(second.Call(unknown).status, kStatusInvalidFunction);

    Writer close(kClose);
    EXPECT_EQ(handle.Call(close).status, kStatusOk);
    EXPECT_TRUE(handle.ClosedByPeer());
    EXPECT_EQ(second.Open(paths[5]), kStatusOk);
}

// The wire's one limit, from the emulator's side: a full device table and
// 64 other interfaces list in one reply, a request of exactly the limit is
// answered, and one byte more ends the connection unanswered.
TEST_F(ServerProcessTest, MessagesUpToTheLimitAreTakenAndOneByteMoreEndsTheConnection)
{
    ServerProcess server({"--adapters", "257", "--non-adapters", "64", "--no-transcript"});
    Client client(server.Port());
    Writer list(kList);
    const Reply reply = client.Call(list);
    EXPECT_EQ(reply.status, kStatusOk);
    // 9 bytes, then 2 + 2 x 77 per interface: far above the 4,096 once allowed.
    EXPECT_EQ(reply.body.size(), 9u + 321u * (2 + 2 * 77));
    const auto paths = client.List();
    ASSERT_EQ(paths.size(), 321u);
    EXPECT_EQ(paths[64], AdapterPath(0));
    EXPECT_EQ(paths[320], AdapterPath(256));

    const std::vector<std::uint8_t> filler(kMaxMessageSize - 1, 0x5A);
    Writer atLimit(0x42);
    atLimit.Bytes(filler.data(), filler.size());
    EXPECT_EQ(atLimit.Finish().size(), 4u + 262144u);
    EXPECT_EQ(client.Call(atLimit).status, kStatusInvalidFunction);
    EXPECT_EQ(client.List().size(), 321u) << "the connection is still in step";

    Writer overLimit(0x42);
    overLimit.Bytes(filler.data(), filler.size()).U8(0x5A);
    EXPECT_EQ(client.Call(overLimit).type, 0) << "no reply";
    EXPECT_TRUE(client.ClosedByPeer());
}

TEST_F(ServerProcessTest, OtherInterfacesAnswerAttributesButTakeNoReports)
{
    ServerProcess server({"--adapters", "0", "--non-adapters", "4"});
    Client control(server.Port());
    const auto paths = control.List();
    ASSERT_EQ(paths.size(), 4u);
    const std::uint16_t expected[4][2] = {{0x046D, 0xC077}, {0x2387, 3}, {0x2387, 3}, {0x2387, 4}};
    for (std::size_t i = 0; i < paths.size(); ++i) {
        Client handle(server.Port());
        ASSERT_EQ(handle.Open(paths[i]), kStatusOk);
        Writer attributes(kAttributes);
        Reply reply = handle.Call(attributes);
        Reader fields(reply.body);
        fields.Bytes(5);
        EXPECT_EQ(fields.U16(), expected[i][0]);
        EXPECT_EQ(fields.U16(), expected[i][1]);
        EXPECT_EQ(handle.Write(Frame(21, 0, 2)).first, kStatusInvalidFunction);
    }
}

TEST_F(ServerProcessTest, HeldOpenAdapterIsListedButCannotBeOpened)
{
    ServerProcess server({"--adapters", "2", "--held-open", "0"});
    Client control(server.Port());
    const auto paths = control.List();
    ASSERT_EQ(paths.size(), 2u);
    Client first(server.Port());
    EXPECT_EQ(first.Open(paths[0]), kStatusSharingViolation);
    Client other(server.Port());
    EXPECT_EQ(other.Open(paths[1]), kStatusOk);
}

TEST_F(ServerProcessTest, SilentAdapterEndsABoundedReadInATimeOut)
{
    ServerProcess server({"--silent-at", "2"});
    Client handle(server.Port());
    ASSERT_EQ(handle.Open(AdapterPath(0)), kStatusOk);
    EXPECT_EQ(handle.Exchange(Frame(10)).command, 10 | 0x80);

    EXPECT_EQ(handle.Write(Frame(10)), std::make_pair(kStatusOk, kReportSize));
    Vantri::CommandFrame answer{};
    const auto start = Clock::now();
    EXPECT_EQ(handle.Read(80, answer), std::make_pair(kStatusTimeout, 0u));
    EXPECT_GE(Clock::now() - start, 80ms);
}

// A slow erase: the answer to the first command 10 is ready 3 s late, so
// a read with a shorter limit times out and the answer waits for the next
// read; the second erase is answered at once.
TEST_F(ServerProcessTest, ADelayedAnswerComesLateAndIsKeptForTheNextRead)
{
    // The delay is far longer than the short read's limit and than the
    // exchange's 2 s below, so a loaded machine cannot blur either outcome.
    ServerProcess server({"--answer-delay", "10:1:3000"});
    Client handle(server.Port());
    ASSERT_EQ(handle.Open(AdapterPath(0)), kStatusOk);
    EXPECT_EQ(handle.Write(Frame(10)), std::make_pair(kStatusOk, kReportSize));
    const auto start = Clock::now();
    Vantri::CommandFrame answer{};
    EXPECT_EQ(handle.Read(100, answer), std::make_pair(kStatusTimeout, 0u));
    EXPECT_EQ(handle.Read(5000, answer), std::make_pair(kStatusOk, kReportSize));
    EXPECT_GE(Clock::now() - start, 2500ms);
    EXPECT_EQ(answer.command, 10 | 0x80);

    // Only the first frame of the command is late: the next exchange's read
    // (2 s) would time out were it delayed too.
    EXPECT_EQ(handle.Exchange(Frame(10)).command, 10 | 0x80);
}

TEST_F(ServerProcessTest, VanishedAdapterLeavesTheListAndFailsItsHandle)
{
    ServerProcess server({"--adapters", "2", "--vanish-at", "0/2"});
    Client control(server.Port());
    Client handle(server.Port());
    ASSERT_EQ(handle.Open(AdapterPath(0)), kStatusOk);
    handle.Exchange(Frame(10));
    EXPECT_EQ(handle.Write(Frame(10)).first, kStatusDeviceNotConnected);
    Vantri::CommandFrame answer{};
    EXPECT_EQ(handle.Read(10, answer).first, kStatusDeviceNotConnected);
    EXPECT_EQ(control.List(), std::vector<std::u16string>{AdapterPath(1)});
    Client again(server.Port());
    EXPECT_EQ(again.Open(AdapterPath(0)), kStatusFileNotFound);
}

TEST_F(ServerProcessTest, AFlickeringAdapterIsMissingFromEverySecondListAndStillOpens)
{
    ServerProcess server({"--adapters", "2", "--flicker", "0"});
    Client control(server.Port());
    const std::vector<std::u16string> both{AdapterPath(0), AdapterPath(1)};
    EXPECT_EQ(control.List(), both);
    EXPECT_EQ(control.List(), std::vector<std::u16string>{AdapterPath(1)});
    Client handle(server.Port());
    EXPECT_EQ(handle.Open(AdapterPath(0)), kStatusOk);
    EXPECT_EQ(control.List(), both);
    EXPECT_EQ(control.List(), std::vector<std::u16string>{AdapterPath(1)});
}

TEST_F(ServerProcessTest, AnAdapterPluggedInLateIsNeitherListedNorOpenedBeforeItsTime)
{
    ServerProcess server({"--adapters", "2", "--arrive-after", "0/1500"});
    const auto started = std::chrono::steady_clock::now();
    Client control(server.Port());
    Client early(server.Port());
    EXPECT_EQ(control.List(), std::vector<std::u16string>{AdapterPath(1)});
    EXPECT_EQ(early.Open(AdapterPath(0)), kStatusFileNotFound);
    // The check above must have been made inside the adapter's absence.
    ASSERT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1500));
    std::this_thread::sleep_until(started + std::chrono::milliseconds(1600));
    EXPECT_EQ(control.List(), (std::vector<std::u16string>{AdapterPath(0), AdapterPath(1)}));
    Client late(server.Port());
    EXPECT_EQ(late.Open(AdapterPath(0)), kStatusOk);
}

TEST_F(ServerProcessTest, FaultOptionsReachTheirAdapters)
{
    ServerProcess server({"--adapters", "2", "--refuse", "0/10:1:0:7:0x1234", "--bad-echo", "1/10:1", "--read-short", "11:1",
                          "--write-fail", "1/13:1:31"});
    Client first(server.Port());
    Client second(server.Port());
    ASSERT_EQ(first.Open(AdapterPath(0)), kStatusOk);
    ASSERT_EQ(second.Open(AdapterPath(1)), kStatusOk);

    const Vantri::CommandFrame refused = first.Exchange(Frame(10));
    EXPECT_EQ(refused.command, 10);
    EXPECT_EQ(refused.status, 0);
    EXPECT_EQ(refused.detail1, 7);
    EXPECT_EQ(refused.detail2[0] | (refused.detail2[1] << 8), 0x1234);
    const Vantri::CommandFrame badEcho = second.Exchange(Frame(10));
    EXPECT_EQ(badEcho.command, 10 | 0x80);
    EXPECT_EQ(badEcho.data[55], 1);

    Vantri::CommandFrame answer{};
    EXPECT_EQ(first.Write(Frame(11)), std::make_pair(kStatusOk, kReportSize));
    EXPECT_EQ(first.Read(1000, answer), std::make_pair(kStatusOk, kReportSize - 1));
    EXPECT_EQ(second.Write(Frame(13)), std::make_pair(31u, 0u));
}

TEST_F(ServerProcessTest, HandlesOfDifferentAdaptersRunOnTheirOwnThreads)
{
    // Adapter 0 keeps its first answer back for far longer than the test
    // runs. Served on one thread, adapter 1 would wait behind it; on threads
    // of their own, adapter 1 answers while adapter 0's read is pending.
    std::optional<ServerProcess> server(std::in_place,
                                        std::vector<std::string>{"--adapters", "2", "--answer-delay", "0/10:1:600000"});
    Client held(server->Port());
    ASSERT_EQ(held.Open(AdapterPath(0)), kStatusOk);
    ASSERT_EQ(held.Write(Frame(10)), std::make_pair(kStatusOk, kReportSize));
    std::atomic<bool> heldAnswered{false};
    std::jthread heldRead([&] {
        Vantri::CommandFrame answer{};
        held.Read(600000, answer);
        heldAnswered = true;
    });
    // Gives the held read a head start; were it late, the check below would
    // pass without proving anything, but it can never fail by chance.
    std::this_thread::sleep_for(100ms);

    Client other(server->Port());
    ASSERT_EQ(other.Open(AdapterPath(1)), kStatusOk);
    for (int n = 0; n < 50; ++n)
        EXPECT_EQ(other.Exchange(Frame(10)).command, 10 | 0x80) << "exchange " << n;
    EXPECT_FALSE(heldAnswered);
    server.reset(); // the held read ends with the connection
}

TEST_F(ServerProcessTest, StateIsDumpedOnRequestAndAtExit)
{
    const auto folder = std::filesystem::temp_directory_path() / ("vantri-server-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    ServerProcess server({"--adapters", "2", "--state-dir", folder.string()});
    Client handle(server.Port());
    ASSERT_EQ(handle.Open(AdapterPath(1)), kStatusOk);

    // A 100-byte image: begin, 56 + 44 bytes, end with 3.
    std::vector<std::uint8_t> image(100);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(i * 7);
    EXPECT_EQ(handle.Exchange(Frame(1)).command, 1 | 0x80);
    for (std::uint16_t piece = 0; piece < 2; ++piece) {
        Vantri::CommandFrame data = Frame(2, static_cast<std::uint16_t>(piece + 1));
        data.length = piece == 0 ? 56 : 44;
        std::memcpy(data.data, image.data() + piece * 56, data.length);
        EXPECT_EQ(handle.Exchange(data).command, 2 | 0x80);
    }
    EXPECT_EQ(handle.Exchange(Frame(3, 3)).command, 3 | 0x80);

    Client control(server.Port());
    Writer dump(kDump);
    ASSERT_EQ(control.Call(dump).status, kStatusOk);
    EXPECT_EQ(ReadText(folder / "summary.txt"),
              "adapters=2\nadapter0 image_received=0 violations=0\nadapter1 image_received=1 violations=0\n");
    const std::string stored = ReadText(folder / "adapter1" / "image.bin");
    EXPECT_EQ(std::vector<std::uint8_t>(stored.begin(), stored.end()), image);
    EXPECT_FALSE(std::filesystem::exists(folder / "adapter0" / "image.bin"));
    EXPECT_EQ(ReadText(folder / "adapter0" / "link.txt"), "opens=0\nopen=0\n");
    // Opened once and open still; the first frames of 1, 2 and 3 in order.
    std::istringstream link(ReadText(folder / "adapter1" / "link.txt"));
    std::string line;
    std::vector<std::string> lines;
    while (std::getline(link, line))
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "opens=1");
    EXPECT_EQ(lines[1], "open=1");
    long long previous = 0;
    for (int command = 1; command <= 3; ++command) {
        const std::string head = "first_frame_us=" + std::to_string(command) + ":";
        ASSERT_EQ(lines[command + 1].rfind(head, 0), 0u) << lines[command + 1];
        const long long at = std::stoll(lines[command + 1].substr(head.size()));
        EXPECT_GE(at, previous);
        previous = at;
    }

    handle.Exchange(Frame(12)); // an unknown command: one violation
    std::filesystem::remove(folder / "summary.txt");
    EXPECT_EQ(server.Terminate(), 0);
    EXPECT_EQ(ReadText(folder / "summary.txt"),
              "adapters=2\nadapter0 image_received=0 violations=0\nadapter1 image_received=1 violations=1\n");
    const std::string transcript = ReadText(folder / "adapter1" / "transcript.txt");
    EXPECT_EQ(std::count(transcript.begin(), transcript.end(), '\n'), 2 * 5);
    EXPECT_EQ(transcript.rfind("< 0C 00 00 31 0C", std::string::npos), transcript.rfind('<'));
    std::filesystem::remove_all(folder);
}

TEST_F(ServerProcessTest, DumpWithoutAFolderFails)
{
    ServerProcess server({});
    Client control(server.Port());
    Writer dump(kDump);
    EXPECT_EQ(control.Call(dump).status, kStatusPathNotFound);
}

TEST_F(ServerProcessTest, BadOptionsEndTheProcessWithCode2)
{
    const std::vector<std::vector<std::string>> cases = {
        {"--refuse=1"},
        {"--adapters"},
        {"--piece-size", "57"},
        {"--refuse", "10:1"},
        {"--refuse", "10:1:5:6"},
        {"--arrive-after", "0/soon"},
        // 1,681 interfaces: one more than a LIST reply holds.
        {"--adapters", "1600", "--non-adapters", "81"},
    };
    for (const auto& arguments : cases) {
        ServerProcess server(arguments);
        EXPECT_EQ(server.Port(), 0);
        EXPECT_EQ(server.Wait(), 2) << arguments.front() << " " << arguments.size();
    }
}

TEST_F(ServerProcessTest, ConfigFileStartsTheChosenAdaptersConfigArea)
{
    const auto folder = std::filesystem::temp_directory_path() / ("vantri-config-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    std::string pattern(65536, '\0');
    for (std::size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<char>(i * 13 + i / 256);
    std::ofstream(folder / "config.bin", std::ios::binary) << pattern;
    std::ofstream(folder / "short.bin", std::ios::binary) << pattern.substr(1);

    ServerProcess server({"--adapters", "2", "--config-file", "1/" + (folder / "config.bin").string(), "--state-dir",
                          (folder / "state").string()});
    ASSERT_NE(server.Port(), 0);
    EXPECT_EQ(server.Terminate(), 0);
    EXPECT_EQ(ReadText(folder / "state" / "adapter1" / "config.bin"), pattern);
    EXPECT_NE(ReadText(folder / "state" / "adapter0" / "config.bin"), pattern);

    for (const std::string& bad : {(folder / "short.bin").string(), (folder / "missing.bin").string()}) {
        ServerProcess refused({"--config-file", bad});
        EXPECT_EQ(refused.Port(), 0);
        EXPECT_EQ(refused.Wait(), 2) << bad;
    }
    std::filesystem::remove_all(folder);
}

} // namespace
