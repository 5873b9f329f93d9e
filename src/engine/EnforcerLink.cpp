#include "engine/EnforcerLink.h"

#include "enforcer/Rendezvous.h"
#include "platform/Spawn.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tarvok {

using namespace enforcer;

EnforcerLink::EnforcerLink(QObject* parent) : QObject(parent) {
    qRegisterMetaType<Refusal>();
    qRegisterMetaType<Question>();
    qRegisterMetaType<ProgramFile>();
}

EnforcerLink::~EnforcerLink() {
    if (isRunning())
        goodbye();
}

bool EnforcerLink::start(const QString& program, quint64 instance) {
    m_program = program;
    m_instance = instance;
    const QByteArray path = program.toLocal8Bit();
    const platform::Spawned spawned = platform::spawnWithSocket(path.constData());
    if (spawned.error != 0) {
        m_failure = QStringLiteral("%1 could not be started: %2")
                        .arg(program, QString::fromLocal8Bit(std::strerror(spawned.error)));
        return false;
    }
    m_socket = spawned.socket;
    m_pid = spawned.pid;
    return greet(Hello{instance}, program);
}

bool EnforcerLink::restart() {
    if (isRunning())
        return true;
    if (m_program.isEmpty())
        return false;
    const QString reason = m_failure;
    if (start(m_program, m_instance))
        return true;
    m_failure = reason; // the first reason stays the one to tell
    return false;
}

bool EnforcerLink::adopt(const QString& program, quint64 instance) {
    m_program = program;
    m_instance = instance;
    m_socket = enforcer::connectRendezvous(::getuid(), instance);
    m_adopted = m_socket >= 0 && greet(Adopt{}, QStringLiteral("The enforcer left running"));
    return m_adopted;
}

bool EnforcerLink::greet(Body request, const QString& program) {
    // Whatever an earlier enforcer left half-read or unanswered is no part of this one's stream.
    m_reader = Reader{};
    m_answered = m_sequence;
    const std::optional<Record> answer = await(send(std::move(request)), AnswerTimeoutMs);
    const auto* hello = answer ? std::get_if<HelloAnswer>(&answer->body) : nullptr;
    if (!hello) {
        lose(QStringLiteral("%1 did not answer").arg(program));
        return false;
    }
    m_tableName = QString::fromStdString(hello->tableName);
    m_logGroup = hello->logGroup;
    m_abilities = hello->abilities;
    m_filterReason = QString::fromStdString(hello->filterReason);
    m_notifier = std::make_unique<QSocketNotifier>(m_socket, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &EnforcerLink::onReadable);
    m_failure.clear();
    return true;
}

namespace {

// One request to an orphaned enforcer's rendezvous, and its answer.
std::optional<Record> askRendezvous(quint64 instance, Body request) {
    const int fd = enforcer::connectRendezvous(::getuid(), instance);
    if (fd < 0)
        return std::nullopt;
    const std::vector<std::uint8_t> bytes = encode({1, std::move(request)});
    std::optional<Record> answer;
    if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size())) {
        Reader reader;
        QElapsedTimer clock;
        clock.start();
        Record record;
        while (!answer && clock.elapsed() < EnforcerLink::AnswerTimeoutMs) {
            pollfd ready{fd, POLLIN, 0};
            std::uint8_t buffer[4096];
            if (::poll(&ready, 1, EnforcerLink::AnswerTimeoutMs) <= 0)
                break;
            const ssize_t received = ::recv(fd, buffer, sizeof buffer, 0);
            if (received <= 0)
                break;
            reader.feed(buffer, static_cast<std::size_t>(received));
            if (reader.next(&record) == Reader::Status::Ready)
                answer = std::move(record);
        }
    }
    ::close(fd);
    return answer;
}

} // namespace

quint64 EnforcerLink::instanceFor(const QString& programFolder) {
    const QString folder = QDir(programFolder).canonicalPath();
    const QByteArray digest = QCryptographicHash::hash(
        (folder.isEmpty() ? programFolder : folder).toUtf8(), QCryptographicHash::Sha256);
    quint64 instance = 0;
    std::memcpy(&instance, digest.constData(), sizeof instance);
    return instance;
}

std::optional<StatusAnswer> EnforcerLink::orphanStatus(quint64 instance) {
    const std::optional<Record> answer = askRendezvous(instance, Status{});
    const auto* status = answer ? std::get_if<StatusAnswer>(&answer->body) : nullptr;
    if (!status || status->windowGoneAt == 0)
        return std::nullopt; // none, or one whose window still runs
    return *status;
}

bool EnforcerLink::endOrphan(quint64 instance) {
    const std::optional<Record> answer = askRendezvous(instance, Goodbye{});
    return answer && std::holds_alternative<Done>(answer->body);
}

std::uint32_t EnforcerLink::send(Body body) {
    if (!isRunning())
        return 0;
    const std::uint32_t sequence = ++m_sequence;
    return write(encode({sequence, std::move(body)})) ? sequence : 0;
}

bool EnforcerLink::write(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t sent = ::send(m_socket, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0) {
            lose(QStringLiteral("the enforcer's socket failed: %1")
                     .arg(QString::fromLocal8Bit(std::strerror(errno))));
            return false;
        }
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

bool EnforcerLink::readAvailable() {
    std::uint8_t buffer[65536];
    for (;;) {
        const ssize_t received = ::recv(m_socket, buffer, sizeof buffer, MSG_DONTWAIT);
        if (received < 0 && errno == EINTR)
            continue;
        if (received < 0 && errno == EAGAIN)
            return true;
        if (received <= 0)
            return false;
        m_reader.feed(buffer, static_cast<std::size_t>(received));
        if (static_cast<std::size_t>(received) < sizeof buffer)
            return true;
    }
}

std::optional<Record> EnforcerLink::await(std::uint32_t sequence, int timeoutMs) {
    if (sequence == 0)
        return std::nullopt;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        Record record;
        Reader::Status status;
        while ((status = m_reader.next(&record)) == Reader::Status::Ready) {
            if (record.sequence != 0)
                m_answered = record.sequence;
            if (record.sequence == sequence)
                return record;
            m_waiting.push_back(std::move(record));
        }
        if (status != Reader::Status::NeedMore) {
            lose(QStringLiteral("the enforcer sent a record Tarvok cannot read: %1")
                     .arg(QString::fromStdString(m_reader.error())));
            return std::nullopt;
        }
        const int left = timeoutMs - static_cast<int>(clock.elapsed());
        pollfd fd{m_socket, POLLIN, 0};
        if (left <= 0 || ::poll(&fd, 1, left) == 0)
            return std::nullopt;
        if (!readAvailable()) {
            lose(QStringLiteral("the enforcer ended"));
            return std::nullopt;
        }
    }
}

void EnforcerLink::onReadable() {
    if (!readAvailable()) {
        deliver();
        lose(QStringLiteral("the enforcer ended"));
        return;
    }
    Record record;
    Reader::Status status;
    while ((status = m_reader.next(&record)) == Reader::Status::Ready) {
        if (record.sequence != 0)
            m_answered = record.sequence;
        m_waiting.push_back(std::move(record));
    }
    if (status != Reader::Status::NeedMore)
        lose(QStringLiteral("the enforcer sent a record Tarvok cannot read: %1")
                 .arg(QString::fromStdString(m_reader.error())));
    deliver();
}

void EnforcerLink::deliver() {
    m_deliveryQueued = false;
    while (!m_waiting.empty()) {
        const Record record = std::move(m_waiting.front());
        m_waiting.pop_front();
        dispatch(record);
    }
}

void EnforcerLink::dispatch(const Record& record) {
    if (const auto* done = std::get_if<Done>(&record.body))
        emit policyWritten(done->error, QString::fromStdString(done->reason));
    else if (const auto* refusal = std::get_if<Refusal>(&record.body))
        emit refused(*refusal);
    else if (const auto* lostCount = std::get_if<Lost>(&record.body))
        emit lost(lostCount->count);
    else if (const auto* asked = std::get_if<Question>(&record.body))
        emit question(*asked);
    else if (const auto* gone = std::get_if<QuestionGone>(&record.body))
        emit questionGone(gone->program);
    else if (const auto* error = std::get_if<Error>(&record.body))
        qWarning("tarvok: the enforcer refused a request: %s", error->reason.c_str());
}

void EnforcerLink::setPolicy(const SetPolicy& policy) {
    send(policy);
}

bool EnforcerLink::settle(int timeoutMs) {
    bool answered = m_answered == m_sequence;
    if (!answered && isRunning()) {
        if (std::optional<Record> last = await(m_sequence, timeoutMs)) {
            m_waiting.push_back(std::move(*last));
            answered = true;
        }
    }
    deliver();
    return answered;
}

int EnforcerLink::cut(const Cut& request) {
    const std::optional<Record> answer = await(send(request), AnswerTimeoutMs);
    // Answers and reports read while waiting reach their handlers from the event loop.
    if (!m_waiting.empty() && !m_deliveryQueued) {
        m_deliveryQueued = true;
        QMetaObject::invokeMethod(this, &EnforcerLink::deliver, Qt::QueuedConnection);
    }
    if (!answer)
        return isRunning() ? ETIMEDOUT : ENOTCONN;
    if (const auto* cutAnswer = std::get_if<CutAnswer>(&answer->body))
        return cutAnswer->error;
    return EINVAL; // an Error answer: the request was not taken
}

void EnforcerLink::answer(const ProgramFile& program, bool allow) {
    // No record answers it, so it takes no sequence number that settle() would wait for; an
    // Error (sequence 0) would come only for a malformed one.
    if (isRunning())
        write(encode({0, Answer{program, allow}}));
}

std::vector<SocketOwner> EnforcerLink::owners(const std::vector<std::uint64_t>& cookies) {
    std::vector<SocketOwner> found;
    if (!filterInForce())
        return found;
    for (std::size_t first = 0; first < cookies.size() && isRunning(); first += MaxOwnerCookies) {
        const auto end = cookies.begin() + static_cast<long>(std::min(cookies.size(), first + MaxOwnerCookies));
        const std::optional<Record> answer =
            await(send(Owners{{cookies.begin() + static_cast<long>(first), end}}), AnswerTimeoutMs);
        if (const auto* owners = answer ? std::get_if<OwnersAnswer>(&answer->body) : nullptr)
            found.insert(found.end(), owners->owners.begin(), owners->owners.end());
    }
    if (!m_waiting.empty() && !m_deliveryQueued) {
        m_deliveryQueued = true;
        QMetaObject::invokeMethod(this, &EnforcerLink::deliver, Qt::QueuedConnection);
    }
    return found;
}

bool EnforcerLink::goodbye(int timeoutMs) {
    const std::optional<Record> answer = await(send(Goodbye{}), timeoutMs);
    deliver();
    m_notifier.reset();
    if (m_socket >= 0)
        ::close(m_socket);
    m_socket = -1;
    if (m_pid > 0 && !platform::reapChild(m_pid, timeoutMs))
        return false;
    m_pid = -1;
    return answer && std::holds_alternative<Done>(answer->body) &&
           std::get<Done>(answer->body).error == 0;
}

void EnforcerLink::lose(const QString& reason) {
    m_failure = reason;
    if (!isRunning())
        return;
    m_notifier.reset();
    ::close(m_socket);
    m_socket = -1;
    if (m_pid > 0)
        platform::reapChild(m_pid, 100);
    m_pid = -1;
    emit gone(reason);
}

} // namespace tarvok
