// The control socket as the display program meets it: console lines in,
// their replies and the changes out; clients that misbehave are dropped
// without holding up the others.
#include "ArrangerTest.h"

#include "app/CControlSocket.h"
#include "app/SongDisplay.h"
#include "base/PassedDescriptors.h"
#include "SmfBuilder.h"

#include <atomic>
#include <cstring>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

namespace {

// One connection to the socket, read line by line.
class Client {
public:
    Client()
    {
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strcpy(a.sun_path, "veltrona.sock");
        connected = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Client() { close(fd); }
    void send(const std::string& text, int passFd = -1) { sent = vtn::sendWithDescriptor(fd, text.data(), text.size(), passFd, 0); }
    // The next line ("" when none comes within the time or the socket ends);
    // a descriptor passed with it lands in `received`.
    std::string line(int timeoutMs = 5000)
    {
        for (;;) {
            const size_t end = buffer.find('\n');
            if (end != std::string::npos) {
                std::string l = buffer.substr(0, end);
                buffer.erase(0, end + 1);
                return l;
            }
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0) return "";
            char data[65536];
            const ssize_t n = vtn::receiveWithDescriptors(fd, data, sizeof data, 0, [this](int passed) { received = passed; });
            if (n <= 0) return "";
            buffer.append(data, static_cast<size_t>(n));
        }
    }
    // The reply to one line: its lines up to "R Ready", status lines left out.
    std::string ask(const std::string& text, int passFd = -1)
    {
        send(text + "\n", passFd);
        std::string reply;
        for (std::string l = line(); !l.empty(); l = line()) {
            if (l.rfind("S ", 0) == 0 || l.rfind("E ", 0) == 0) continue;
            reply += l + "\n";
            if (l == "R Ready") break;
        }
        return reply;
    }
    // Lines until one begins with `prefix` and holds `part`; "" when none comes.
    std::string awaitLine(const std::string& prefix, const std::string& part = "")
    {
        for (std::string l = line(); !l.empty(); l = line())
            if (l.rfind(prefix, 0) == 0 && l.find(part) != std::string::npos) return l;
        return "";
    }
    int fd = -1;
    bool connected = false;
    ssize_t sent = 0;
    int received = -1;
    std::string buffer;
};

int memoryFile(const std::string& bytes)
{
    const int fd = memfd_create("upload", MFD_CLOEXEC);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    return fd;
}

class ControlSocket : public ArrangerTest {
protected:
    void SetUp() override
    {
        ArrangerTest::SetUp();
        std::filesystem::create_directory(dir.file("Styles"));
        std::filesystem::create_directory(dir.file("Songs"));
        const auto run = testsupport::runTool({"style-write", std::string(VTN_SOURCE_DIR) + "/demo/style-sources/DemoPop.json",
                                               dir.file("Styles/DemoPop.sty")});
        ASSERT_EQ(run.status, 0) << run.err;
        start("remote: 8080\nstylefiles: Styles\nmidifiles: Songs\n");
        ASSERT_NE(app->remote, nullptr);
        // The console thread's part, as the command loop does it.
        pump = std::thread([this] {
            while (!stop) {
                pollfd p{app->remote->commandFd(), POLLIN, 0};
                if (poll(&p, 1, 20) > 0) app->serveRemote();
            }
        });
    }
    void TearDown() override
    {
        stop = true;
        pump.join();
        ArrangerTest::TearDown();
    }
    std::atomic<bool> stop{false};
    std::thread pump;
};

TEST_F(ControlSocket, AnswersLikeTheConsoleAndTellsEveryClientWhatChanged)
{
    Client a, b;
    ASSERT_TRUE(a.connected && b.connected);
    // The whole state on connecting, and again at every change.
    EXPECT_NE(a.awaitLine("S {").find("\"tempo\":120,"), std::string::npos);
    b.awaitLine("S {");
    EXPECT_EQ(a.ask("DemoPop.sty"), "R Ready\n");
    EXPECT_NE(b.awaitLine("S {", "\"style\":\"DemoPop.sty\""), "");

    EXPECT_EQ(a.ask("status"), "R " + app->statusLine() + "\nR Ready\n");
    EXPECT_EQ(a.ask("no such thing"), "R Unknown command\nR Ready\n");
    EXPECT_EQ(a.ask("quit"), "R quit is taken from the console only\nR Ready\n");
    EXPECT_EQ(a.ask("Tempo up"), "R Ready\n");
    EXPECT_NE(b.awaitLine("S {", "\"tempo\":" + std::to_string(engine().get(engine().play.tempo)) + ","), "");
    // Display requests reach every client: the loader (function 46, which
    // has no name) and the lyrics' scrolling.
    EXPECT_EQ(a.ask("function 46"), "R Ready\n");
    EXPECT_EQ(b.awaitLine("E "), "E {\"open\":\"loader\"}");
    a.ask("Scroll up");
    EXPECT_EQ(b.awaitLine("E "), "E {\"lyricsScroll\":-1}");
    EXPECT_EQ(a.ask("function 99"), "R No function 99\nR Ready\n");
    EXPECT_EQ(a.ask("registration 1"), "R No registration 1\nR Ready\n");
    EXPECT_NE(a.ask("?styles").find("{\"name\":\"DemoPop.sty\",\"tempo\":"), std::string::npos);
}

TEST_F(ControlSocket, DropsClientsThatHoldItUpAndServesTheRest)
{
    Client stuck, garbage, good;
    ASSERT_TRUE(stuck.connected && garbage.connected && good.connected);
    good.awaitLine("S {");
    // A line of a megabyte, never carried out in pieces.
    garbage.awaitLine("S {");
    garbage.send(std::string(1 << 20, 'x'));
    EXPECT_EQ(garbage.line(), "R Line too long");
    // A client that never reads while much is said: dropped, not waited for.
    for (int i = 0; i < 8; ++i) {
        app->remote->publishStatus("S " + std::string(300000, static_cast<char>('a' + i)) + "\n");
        EXPECT_EQ(good.awaitLine("S ").size(), 300002u);
    }
    EXPECT_EQ(good.ask("status"), "R " + app->statusLine() + "\nR Ready\n");
    EXPECT_EQ(app->remote->clientCount(), 1);
    // Many at once, each answered.
    std::vector<std::unique_ptr<Client>> many(20);
    for (auto& c : many) c = std::make_unique<Client>();
    for (auto& c : many) EXPECT_EQ(c->ask("Tempo down"), "R Ready\n");
}

TEST_F(ControlSocket, KeepsOnlyFilesItsReadersTakeAndNothingOutsideItsFolders)
{
    Client c;
    const std::string style = testsupport::readFile(dir.file("Styles/DemoPop.sty"));
    EXPECT_EQ(c.ask("?upload style Damaged.sty", memoryFile(style.substr(0, 40))),
              "J {\"ok\":false,\"message\":\"Damaged.sty refused: not a style file: no style parts (Main A, ...) in it\"}\n"
              "R Ready\n");
    EXPECT_EQ(c.ask("?upload style Tune.mid", memoryFile("RIFF....0123456789")),
              "J {\"ok\":false,\"message\":\"Tune.mid refused: not a style file: no MThd header at offset 0\"}\nR Ready\n");
    EXPECT_EQ(c.ask("?upload style Copy.sty", memoryFile(style)), "J {\"ok\":true,\"message\":\"Copy.sty kept\"}\nR Ready\n");
    EXPECT_NE(c.ask("?upload style Copy.sty", memoryFile(style)).find("a file of that name is there already"), std::string::npos);
    // A name written on another system (Latin-1) reaches a page as valid UTF-8.
    EXPECT_EQ(c.ask("?upload style Caf\xe9.sty", memoryFile(style)), "J {\"ok\":true,\"message\":\"Caf\xc3\xa9.sty kept\"}\nR Ready\n");
    EXPECT_EQ(c.ask("play: Caf\xe9.mid"), "R file not found: Songs/Caf\xc3\xa9.mid\nR Ready\n");
    for (const char* name : {"../x.sty", "/tmp/x.sty", ".hidden.sty", "a\\b.sty"})
        EXPECT_NE(c.ask(std::string("?upload style ") + name, memoryFile(style)).find("not a plain file name"), std::string::npos);
    EXPECT_NE(c.ask("?upload song Song.mid").find("no file came with the upload"), std::string::npos);
    EXPECT_FALSE(testsupport::fileExists(dir.file("Damaged.sty")) || testsupport::fileExists(dir.file("Styles/Damaged.sty")));

    // A song with lyrics, and a recording: listed, and fetched as a descriptor.
    smftest::Bytes track;
    track.meta(0, 0x05, "Hello ").meta(480, 0x05, "world\r").meta(480, 0x05, "/Next line").meta(960, 0x2F, "");
    const smftest::Bytes song = smftest::Bytes().add(smftest::chunk("MThd", smftest::Bytes().be(0, 2).be(1, 2).be(480, 2)))
                                    .add(smftest::chunk("MTrk", track));
    const std::string bytes(song.v.begin(), song.v.end());
    EXPECT_EQ(c.ask("?upload song 20261208-101500Pop.mid", memoryFile(bytes)),
              "J {\"ok\":true,\"message\":\"20261208-101500Pop.mid kept\"}\nR Ready\n");
    EXPECT_EQ(c.ask("?recordings"), "J {\"recordings\":[{\"name\":\"20261208-101500Pop.mid\",\"bytes\":" +
                                        std::to_string(bytes.size()) +
                                        ",\"date\":\"2026-12-08 10:15:00\",\"seconds\":1.0}]}\nR Ready\n");
    EXPECT_EQ(c.ask("?download 20261208-101500Pop.mid").substr(0, 2), "J ");
    ASSERT_GE(c.received, 0);
    char first[4] = {};
    EXPECT_EQ(pread(c.received, first, 4, 0), 4);
    EXPECT_EQ(std::string(first, 4), "MThd");
    close(c.received);
    // A link out of the folder is not followed; a path is no name.
    ASSERT_EQ(symlink("/etc/passwd", dir.file("Songs/out.mid").c_str()), 0);
    EXPECT_EQ(c.ask("?download out.mid"), "R file not found: out.mid\nR Ready\n");
    EXPECT_EQ(c.ask("?download ../config.txt"), "R Not a MIDI file name: ../config.txt\nR Ready\n");

    // The song's lines and bars, as a display follows them.
    CMidiSequence sequence;
    ASSERT_NE(sequence.readMidiFile(song.v.data(), 0, song.size(), engine().sequenceOptions()), 0);
    const SongDisplay shown = songDisplayOf(sequence);
    ASSERT_EQ(shown.lines.size(), 2u);
    EXPECT_EQ(shown.lines[0].text, "Hello world");
    EXPECT_EQ(shown.lines[1].text, "Next line");
    EXPECT_EQ(shown.lineAt(0), 0);
    EXPECT_EQ(shown.lineAt(959), 0);
    EXPECT_EQ(shown.lineAt(960), 1);
    int bar = 0, beat = 0;
    shown.barBeat(480 * 5 + 10, bar, beat);
    EXPECT_EQ(std::make_pair(bar, beat), std::make_pair(2, 2));
}

} // namespace
