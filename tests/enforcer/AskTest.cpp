// Connections held at their first packet while their program is asked: a real enforcer with
// its program filter in this test's own cgroup and network namespace, copies of the probe
// client as distinct programs, and real listeners on 127.0.0.2.

#include "engine/EnforcerLink.h"
#include "platform/Spawn.h"
#include "support/EnforcerSupport.h"
#include "support/Loopback.h"
#include "support/Sandbox.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvok {
namespace {

using namespace enforcer;

// Whether fd becomes readable within ms (a listener: a connection to accept).
bool readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}

// An enforcer that asks, and the questions it sent.
struct AskRig {
    EnforcerLink link;
    QSignalSpy questions{&link, &EnforcerLink::question};
    QSignalSpy gone{&link, &EnforcerLink::questionGone};
    QTemporaryDir folder;
    test::TcpListener server{"127.0.0.2"};

    bool start(std::vector<TypedRule> rules = {}, bool defaultAllow = false) {
        return link.start(QStringLiteral(TARVOK_TEST_ENFORCER), test::nextInstance()) &&
               link.filterInForce() && ask(true, std::move(rules), defaultAllow);
    }
    bool ask(bool on, std::vector<TypedRule> rules = {}, bool defaultAllow = false) {
        SetPolicy policy{Level::Normal, false, false, std::move(rules)};
        policy.ask = on;
        policy.askDefaultAllow = defaultAllow;
        QSignalSpy written(&link, &EnforcerLink::policyWritten);
        link.setPolicy(policy);
        return written.wait(5000) && written.at(0).at(0).toInt() == 0;
    }
    // A copy of the probe client: a program of its own.
    QString program(const QString& name) {
        const QString path = folder.path() + QLatin1Char('/') + name;
        EXPECT_TRUE(QFile::copy(QStringLiteral(TARVOK_TEST_PROBE_CLIENT), path));
        QFile(path).setPermissions(QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther |
                                   QFile::ExeOther);
        return path;
    }
    std::unique_ptr<QProcess> run(const QString& program, const char* kind, int times = 1,
                                  int lingerMs = 0, QStringList prefix = {},
                                  std::uint16_t port = 0) {
        auto process = std::make_unique<QProcess>();
        QStringList arguments = prefix;
        arguments << program << QString::fromLatin1(kind) << QStringLiteral("127.0.0.3")
                  << QStringLiteral("127.0.0.2") << QString::number(port ? port : server.port())
                  << QString::number(times) << QString::number(lingerMs);
        const QString first = arguments.takeFirst();
        process->start(first, arguments);
        EXPECT_TRUE(process->waitForStarted(5000));
        return process;
    }
    bool waitQuestions(int count, int ms = 5000) {
        QElapsedTimer clock;
        clock.start();
        while (questions.count() < count && clock.elapsed() < ms)
            questions.wait(std::max<int>(1, ms - static_cast<int>(clock.elapsed())));
        return questions.count() >= count;
    }
    Question question(int i) const { return questions.at(i).at(0).value<Question>(); }
    // The outcomes a probe printed, one per attempt.
    static QList<int> outcomes(QProcess& process) {
        QList<int> out;
        for (const QByteArray& line : process.readAllStandardOutput().split('\n'))
            if (!line.isEmpty())
                out << line.toInt();
        return out;
    }
};

#define TARVOK_ASK_RIG(rig, ...)                                                                   \
    TARVOK_REQUIRE_PRIVATE_NETWORK();                                                              \
    ASSERT_TRUE(test::ownCgroup()) << "asking is tested in a cgroup of the test's own, which "     \
                                      "needs root and a cgroup v2 mount";                          \
    AskRig rig;                                                                                    \
    ASSERT_TRUE(rig.start(__VA_ARGS__)) << rig.link.failure().toStdString()                        \
                                        << rig.link.filterReason().toStdString()

TEST(Ask, NoneOfAHundredHeldConnectionsCompletesWhileTheirQuestionIsOpen) {
    TARVOK_ASK_RIG(rig);
    // This test's own program connects a hundred times at once.
    std::vector<test::Fd> clients;
    const test::Endpoint source = test::endpoint("127.0.0.4", 0);
    const test::Endpoint target = test::endpoint("127.0.0.2", rig.server.port());
    for (int i = 0; i < 100; ++i) {
        test::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        ASSERT_EQ(::bind(fd.get(), source.get(), source.length), 0);
        ASSERT_EQ(::connect(fd.get(), target.get(), target.length), -1);
        ASSERT_EQ(errno, EINPROGRESS);
        clients.push_back(std::move(fd));
    }
    ASSERT_TRUE(rig.waitQuestions(1));
    EXPECT_EQ(rig.question(0).program, test::programFile(QStringLiteral("/proc/self/exe")));
    EXPECT_EQ(rig.question(0).pid, static_cast<std::uint32_t>(::getpid()));
    EXPECT_EQ(rig.question(0).remotePort, rig.server.port());
    EXPECT_EQ(rig.question(0).remote[3], 2);
    std::vector<pollfd> fds;
    for (const test::Fd& fd : clients)
        fds.push_back({fd.get(), POLLOUT, 0});
    EXPECT_EQ(::poll(fds.data(), fds.size(), 300), 0) << "no held connection completed";
    EXPECT_FALSE(readable(rig.server.fd(), 0)) << "the server saw nothing";
    EXPECT_EQ(rig.questions.count(), 1) << "one question for the program";

    rig.link.answer(rig.question(0).program, true);
    int completed = 0;
    QElapsedTimer clock;
    clock.start();
    for (pollfd& fd : fds) {
        const int left = 5000 - static_cast<int>(clock.elapsed());
        if (::poll(&fd, 1, std::max(left, 0)) == 1) {
            int error = -1;
            socklen_t length = sizeof error;
            ::getsockopt(fd.fd, SOL_SOCKET, SO_ERROR, &error, &length);
            completed += error == 0;
        }
    }
    EXPECT_EQ(completed, 100) << "the answer released every held connection";
    EXPECT_EQ(rig.questions.count(), 1);
    EXPECT_TRUE(rig.link.goodbye());
}

struct Answered {
    bool allow;
    int first, second; // the held connect's outcome, and the same process's next one
};

// A SYN that reuses the ends of a connection the server reset a moment ago is not "new" to
// conntrack; it was passed unasked.
TEST(Ask, AConnectReusingTheEndsOfAConnectionTheServerResetIsStillHeld) {
    TARVOK_ASK_RIG(rig);
    ASSERT_TRUE(rig.ask(false));
    const test::Endpoint target = test::endpoint("127.0.0.2", rig.server.port());
    const auto connectFrom = [&](const test::Endpoint& source) {
        test::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        const int yes = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        EXPECT_EQ(::bind(fd.get(), source.get(), source.length), 0);
        ::connect(fd.get(), target.get(), target.length);
        return fd;
    };
    test::Fd first = connectFrom(test::endpoint("127.0.0.6", 0));
    ASSERT_TRUE(readable(rig.server.fd(), 2000));
    test::Fd accepted(::accept(rig.server.fd(), nullptr, nullptr));
    sockaddr_in used{};
    socklen_t length = sizeof used;
    ::getsockname(first.get(), reinterpret_cast<sockaddr*>(&used), &length);
    const linger reset{1, 0};
    ::setsockopt(accepted.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    accepted.reset();
    first.reset();
    ASSERT_TRUE(rig.ask(true));
    test::Fd again = connectFrom(test::endpoint("127.0.0.6", ntohs(used.sin_port)));
    EXPECT_FALSE(readable(rig.server.fd(), 500)) << "the server saw nothing";
    EXPECT_TRUE(rig.waitQuestions(1, 3000));
    EXPECT_TRUE(rig.link.goodbye());
}

TEST(Ask, AnAnswerReleasesTheHeldConnectAndStaysWithTheProcessUntilItExits) {
    for (const Answered& c : {Answered{true, 0, 0}, Answered{false, ECONNABORTED, EPERM}}) {
        SCOPED_TRACE(c.allow ? "allow" : "block");
        TARVOK_ASK_RIG(rig);
        const QString program = rig.program(QStringLiteral("client"));
        auto process = rig.run(program, "tcp", 2);
        ASSERT_TRUE(rig.waitQuestions(1));
        EXPECT_EQ(rig.question(0).program, test::programFile(program));
        EXPECT_EQ(rig.question(0).pid, static_cast<std::uint32_t>(process->processId()));
        EXPECT_FALSE(readable(rig.server.fd(), 200)) << "held: the server saw nothing";
        rig.link.answer(rig.question(0).program, c.allow);
        ASSERT_TRUE(process->waitForFinished(5000));
        EXPECT_EQ(AskRig::outcomes(*process), (QList<int>{c.first, c.second}));
        EXPECT_EQ(rig.server.acceptAll(), c.allow ? 2 : 0);
        QCoreApplication::processEvents();
        EXPECT_EQ(rig.questions.count(), 1) << "the second connect was not asked about";
        if (c.allow) {
            // A new process of the program is asked again once the first has exited.
            auto next = rig.run(program, "tcp", 1);
            ASSERT_TRUE(rig.waitQuestions(2));
            rig.link.answer(rig.question(1).program, false);
            ASSERT_TRUE(next->waitForFinished(5000));
        }
        EXPECT_TRUE(rig.link.goodbye());
    }
}

struct Decided {
    const char* name;
    int rule;           // 0 none, 1 program accept, 2 program block, 3 address block
    bool otherUser;     // run as nobody
    bool defaultAllow;
    int outcome;
};

TEST(Ask, RulesAndOtherUsersProgramsAreDecidedWithoutAQuestion) {
    const Decided cases[] = {
        {"program accept rule", 1, false, false, 0},
        {"program block rule", 2, false, false, EPERM},
        {"address block rule", 3, false, false, EPERM},
        {"another user, default block", 0, true, false, EPERM},
        {"another user, default allow", 0, true, true, 0},
    };
    for (const Decided& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir folder;
        ::chmod(folder.path().toLocal8Bit().constData(), 0755);
        const QString program = folder.path() + QStringLiteral("/client");
        ASSERT_TRUE(QFile::copy(QStringLiteral(TARVOK_TEST_PROBE_CLIENT), program));
        ::chmod(program.toLocal8Bit().constData(), 0755);
        TypedRule rule;
        rule.protocols = ProtoBoth;
        rule.accept = c.rule == 1;
        if (c.rule == 1 || c.rule == 2) {
            rule.namesProgram = true;
            rule.program = test::programFile(program);
        } else if (c.rule == 3) {
            rule.family = RuleFamily::V4;
            rule.address = {127, 0, 0, 2};
        }
        std::vector<TypedRule> rules;
        if (c.rule != 0)
            rules.push_back(rule);
        TARVOK_ASK_RIG(rig, rules, c.defaultAllow);
        const QStringList nobody = {QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"),
                                    QStringLiteral("--regid=65534"),
                                    QStringLiteral("--clear-groups")};
        auto process = rig.run(program, "tcp", 1, 0, c.otherUser ? nobody : QStringList{});
        ASSERT_TRUE(process->waitForFinished(5000)) << "it was held";
        EXPECT_EQ(AskRig::outcomes(*process), QList<int>{c.outcome});
        QCoreApplication::processEvents();
        EXPECT_EQ(rig.questions.count(), 0);
        EXPECT_TRUE(rig.link.goodbye());
    }
}

// An IPv6 connection and an IPv4 one of a dual-stack socket are held and released alike: the
// queue reads either header and finds the socket either way.
TEST(Ask, IPv6AndDualStackConnectionsAreHeldUntilTheAnswer) {
    ASSERT_TRUE(test::addLoopbackAddress("fd00::2") && test::addLoopbackAddress("fd00::3"));
    test::TcpListener server6("fd00::2");
    const struct {
        const char* from;
        const char* to;
        std::uint8_t family; // as the question names the remote end
    } cases[] = {{"fd00::3", "fd00::2", 6}, {"::ffff:127.0.0.3", "::ffff:127.0.0.2", 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.to);
        // A rig of its own: an answer stays with this process for the enforcer's life.
        TARVOK_ASK_RIG(rig);
        test::TcpListener& listener = c.family == 6 ? server6 : rig.server;
        const test::Endpoint source = test::endpoint(c.from, 0);
        const test::Endpoint target =
            test::endpoint(c.to, c.family == 6 ? server6.port() : rig.server.port());
        test::Fd client(::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        ASSERT_EQ(::bind(client.get(), source.get(), source.length), 0);
        ASSERT_EQ(::connect(client.get(), target.get(), target.length), -1);
        ASSERT_TRUE(rig.waitQuestions(1));
        EXPECT_EQ(rig.question(0).family, c.family);
        pollfd out{client.get(), POLLOUT, 0};
        EXPECT_EQ(::poll(&out, 1, 200), 0) << "held";
        EXPECT_FALSE(readable(listener.fd(), 0));
        rig.link.answer(rig.question(0).program, true);
        EXPECT_TRUE(readable(listener.fd(), 5000)) << "released";
        EXPECT_EQ(listener.acceptAll(), 1);
        EXPECT_TRUE(rig.link.goodbye());
    }
}

TEST(Ask, AHeldDatagramReachesTheServerOnlyAfterAllow) {
    for (const bool allow : {true, false}) {
        SCOPED_TRACE(allow ? "allow" : "block");
        TARVOK_ASK_RIG(rig);
        std::uint16_t port = 0;
        test::Fd server = test::udpSocket("127.0.0.2", port);
        auto process =
            rig.run(rig.program(QStringLiteral("sender")), "udp-send", 1, 3000, {}, port);
        ASSERT_TRUE(rig.waitQuestions(1));
        EXPECT_EQ(rig.question(0).protocol, 17);
        EXPECT_FALSE(readable(server.get(), 200)) << "held: nothing arrived";
        rig.link.answer(rig.question(0).program, allow);
        EXPECT_EQ(readable(server.get(), allow ? 3000 : 500), allow);
        process->kill();
        process->waitForFinished(5000);
        EXPECT_TRUE(rig.link.goodbye());
    }
}

TEST(Ask, FiftyProgramsAreAskedAtOnceAndEachAnswerReleasesOnlyItsOwn) {
    TARVOK_ASK_RIG(rig);
    std::vector<std::unique_ptr<QProcess>> processes;
    for (int i = 0; i < 50; ++i)
        processes.push_back(rig.run(rig.program(QStringLiteral("client-%1").arg(i)), "tcp"));
    ASSERT_TRUE(rig.waitQuestions(50, 15000));
    QCoreApplication::processEvents();
    EXPECT_EQ(rig.questions.count(), 50);
    const ProgramFile first = test::programFile(rig.folder.path() + QStringLiteral("/client-0"));
    rig.link.answer(first, true);
    ASSERT_TRUE(processes[0]->waitForFinished(5000));
    EXPECT_EQ(processes[0]->exitCode(), 0);
    EXPECT_FALSE(processes[1]->waitForFinished(300)) << "another program's connection waits on";
    EXPECT_EQ(rig.server.acceptAll(), 1);
    // The questions come in the order the programs reached the queue, not the order started.
    for (int i = 0; i < 50; ++i)
        if (rig.question(i).program != first)
            rig.link.answer(rig.question(i).program, false);
    for (int i = 1; i < 50; ++i) {
        ASSERT_TRUE(processes[static_cast<std::size_t>(i)]->waitForFinished(5000));
        EXPECT_EQ(processes[static_cast<std::size_t>(i)]->exitCode(), ECONNABORTED);
    }
    EXPECT_EQ(rig.server.acceptAll(), 0);
    EXPECT_TRUE(rig.link.goodbye());
}

TEST(Ask, SwitchingAskingOffGivesWhatIsHeldTheDefaultAnswer) {
    for (const bool defaultAllow : {true, false}) {
        SCOPED_TRACE(defaultAllow ? "default allow" : "default block");
        TARVOK_ASK_RIG(rig, {}, defaultAllow);
        EXPECT_TRUE(rig.link.canAsk());
        auto process = rig.run(rig.program(QStringLiteral("client")), "tcp");
        ASSERT_TRUE(rig.waitQuestions(1));
        SetPolicy off{Level::Normal, false, false, {}};
        off.askDefaultAllow = defaultAllow;
        rig.link.setPolicy(off);
        ASSERT_TRUE(process->waitForFinished(5000));
        EXPECT_EQ(process->exitCode(), defaultAllow ? 0 : ECONNABORTED);
        EXPECT_EQ(rig.server.acceptAll(), defaultAllow ? 1 : 0);
        // The window's question ends with it, so that no row waits for a deadline.
        ASSERT_TRUE(rig.gone.count() > 0 || rig.gone.wait(5000));
        EXPECT_EQ(rig.gone.at(0).at(0).value<ProgramFile>(), rig.question(0).program);
        EXPECT_TRUE(rig.link.goodbye());
    }
}

TEST(Ask, AWindowThatEndsUnexpectedlyLeavesWhatIsHeldTheDefaultAnswer) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(test::ownCgroup());
    for (const bool defaultAllow : {true, false}) {
        SCOPED_TRACE(defaultAllow ? "default allow" : "default block");
        // A window that speaks raw records, so that it can end without a goodbye.
        const platform::Spawned enforcer = platform::spawnWithSocket(TARVOK_TEST_ENFORCER);
        ASSERT_EQ(enforcer.error, 0);
        // Whatever fails below, no enforcer outlives the test.
        const std::unique_ptr<void, std::function<void(void*)>> reap(
            reinterpret_cast<void*>(1), [&](void*) {
                ::kill(enforcer.pid, SIGKILL);
                platform::reapChild(enforcer.pid, 5000);
            });
        const quint64 instance = test::nextInstance();
        SetPolicy policy{Level::Normal, false, false, {}};
        policy.ask = true;
        policy.askDefaultAllow = defaultAllow;
        Reader reader;
        // Reads the enforcer's records until one of that type came.
        const auto await = [&](std::size_t type) {
            for (int i = 0; i < 50; ++i) {
                Record record;
                while (reader.next(&record) == Reader::Status::Ready)
                    if (record.body.index() == type)
                        return true;
                pollfd fd{enforcer.socket, POLLIN, 0};
                std::uint8_t buffer[4096];
                if (::poll(&fd, 1, 100) > 0)
                    if (const ssize_t n = ::recv(enforcer.socket, buffer, sizeof buffer, 0); n > 0)
                        reader.feed(buffer, static_cast<std::size_t>(n));
            }
            return false;
        };
        for (const Body& body : {Body{Hello{instance}}, Body{policy}}) {
            const std::vector<std::uint8_t> bytes = encode({1, body});
            ASSERT_EQ(::send(enforcer.socket, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                      static_cast<ssize_t>(bytes.size()));
        }
        ASSERT_TRUE(await(Body(Done{}).index())) << "the policy is in force";
        AskRig rig; // not started: only its probe copies and its server are used
        auto process = rig.run(rig.program(QStringLiteral("client")), "tcp");
        ASSERT_TRUE(await(Body(Question{}).index()));
        ::close(enforcer.socket);
        ASSERT_TRUE(process->waitForFinished(5000));
        EXPECT_EQ(process->exitCode(), defaultAllow ? 0 : ECONNABORTED);
        EXPECT_TRUE(EnforcerLink::endOrphan(instance)) << "the policy stayed in force";
    }
}

TEST(Ask, AKilledEnforcerDropsWhatItHeld) {
    TARVOK_ASK_RIG(rig);
    auto process = rig.run(rig.program(QStringLiteral("client")), "tcp");
    ASSERT_TRUE(rig.waitQuestions(1));
    ASSERT_EQ(::kill(rig.link.pid(), SIGKILL), 0);
    // The kernel drops what the queue held; the client's next SYN comes a second later, once
    // the enforcer, its filter and its tables are gone.
    EXPECT_FALSE(readable(rig.server.fd(), 700)) << "the held SYN was never passed";
    process->kill();
    process->waitForFinished(5000);
}

TEST(Ask, ASocketClosedWhileHeldEndsItsQuestion) {
    TARVOK_ASK_RIG(rig);
    test::Fd client(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const test::Endpoint source = test::endpoint("127.0.0.5", 0);
    const test::Endpoint target = test::endpoint("127.0.0.2", rig.server.port());
    ASSERT_EQ(::bind(client.get(), source.get(), source.length), 0);
    ::connect(client.get(), target.get(), target.length);
    ASSERT_TRUE(rig.waitQuestions(1));
    client.reset();
    ASSERT_TRUE(rig.gone.wait(5000));
    EXPECT_EQ(rig.gone.at(0).at(0).value<ProgramFile>(), rig.question(0).program);
    EXPECT_TRUE(rig.link.goodbye());
}

} // namespace
} // namespace tarvok
