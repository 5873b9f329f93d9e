#include "engine/EnforcementEngine.h"
#include "fakes/EngineFakes.h"
#include "fakes/FakePrompter.h"
#include "monitor/HostResolver.h"
#include "monitor/ResolveWindow.h"
#include "support/EnforcerSupport.h"
#include "support/Loopback.h"
#include "support/Sandbox.h"
#include "support/ScratchFiles.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <sys/mount.h>
#include <sys/socket.h>

using namespace tarvok;

namespace {

// Puts a file of the test's own over a system file, in this test process's mount namespace.
struct Overlay {
    QTemporaryDir dir;
    QByteArray target;
    bool mounted = false;
    Overlay(const char* path, const QByteArray& text) : target(path) {
        const QString source = dir.filePath("file");
        mounted = test::writeFile(source, text) &&
                  ::mount(QFile::encodeName(source), target, nullptr, MS_BIND, nullptr) == 0;
    }
    ~Overlay() {
        if (mounted)
            ::umount2(target, MNT_DETACH);
    }
};

QString waitForName(IPHostResolver& resolver, const QString& address) {
    QSignalSpy found(&resolver, &IPHostResolver::nameFound);
    resolver.AddressToName(address);
    return !found.isEmpty() || found.wait(10000) ? found[0][1].toString() : "(no answer)";
}

} // namespace

TEST(IPHostResolver, ValidatesAddressesAsTheListsShowThem) {
    for (const char* good : {"10.0.0.1", "0.0.0.0", "255.255.255.255", "fd00::7", "::1"})
        EXPECT_TRUE(IPHostResolver::validAddress(QLatin1String(good))) << good;
    for (const char* bad :
         {"localhost", "", "1.2.3", "1.2.3.256", "1.2.3.x", "1.2.3.4.5", "1.-2.3.4", "fd00::g"})
        EXPECT_FALSE(IPHostResolver::validAddress(QLatin1String(bad))) << bad;
}

// Names from the hosts file, nothing for an invalid address; a lookup that waits for the silent
// server does not stop the enforcement pass from cutting a blocked connection meanwhile.
TEST(ResolveWindow, LookupsFindNamesAndASlowOneDoesNotStopTheEnforcementPass) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    Overlay hosts("/etc/hosts", "127.0.0.7 seven.test\nfd00::7 seven6.test\n");
    Overlay resolv("/etc/resolv.conf", "nameserver 127.0.0.9\noptions timeout:3 attempts:1\n");
    ASSERT_TRUE(hosts.mounted && resolv.mounted);
    test::Fd silentDns(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)); // takes queries only
    const test::Endpoint dns = test::endpoint("127.0.0.9", 53);
    ASSERT_EQ(::bind(silentDns.get(), dns.get(), dns.length), 0);
    test::FakePrompter prompter;
    test::MapLocaliser language;
    language.texts["Main/111"] = "Unable to resolve host name!";
    IPHostResolver resolver(&prompter, &language);
    EXPECT_EQ(waitForName(resolver, "127.0.0.7"), "seven.test");
    EXPECT_EQ(waitForName(resolver, "fd00::7"), "seven6.test");
    EXPECT_EQ(waitForName(resolver, "1.2.3.256"), QString());
    EXPECT_TRUE(prompter.messages().isEmpty()) << "an invalid address gives no message";
    QSignalSpy address(&resolver, &IPHostResolver::addressFound);
    resolver.NameToAddress("seven.test");
    ASSERT_TRUE(address.wait(10000));
    EXPECT_EQ(address[0][1].toString(), "127.0.0.7");

    platform::SockDiag diag;
    ConnectionTables tables{diag};
    test::Enforcing enforcing(tables);
    RuleTable rules;
    EnforcementEngine engine{tables, rules};
    rules.setRules({{"block", {}, {}, "127.0.0.2", "any port", {}, {}}});
    ResolveWindow window(&prompter, language);
    window.resolve("127.0.0.8");
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.waiting(); }, 2000));
    test::TcpListener listener("127.0.0.2");
    auto connection = test::connect("127.0.0.3", listener);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return test::readOutcome(connection.client.get(), 0) != -ETIMEDOUT; }, 2000));
    EXPECT_TRUE(window.waiting()) << "the cut came while the lookup was still waiting";
    EXPECT_EQ(window.cursor().shape(), Qt::WaitCursor);

    ASSERT_TRUE(QTest::qWaitFor([&] { return !window.waiting(); }, 10000));
    EXPECT_EQ(window.findChild<QLineEdit*>("Text2")->text(), QString());
    ASSERT_EQ(prompter.messages().size(), 1);
    EXPECT_EQ(std::tuple(prompter.messages()[0].text, prompter.messages()[0].style),
              std::tuple(QString("Unable to resolve host name!"), Prompter::Critical));
}
