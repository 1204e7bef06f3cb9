#include "src/stream/track_server.h"

#include "src/runtime/log_channel.h"
#include "src/stream/http_head.h"

#include <QFile>
#include <QFileInfo>
#include <QNetworkInterface>
#include <QSslServer>
#include <QSslSocket>
#include <QUrl>
#include <algorithm>

namespace sonavert::stream {

namespace {

constexpr qint64 kChunkBytes = qint64{64} * 1024;
// What may wait in a socket's buffers before more of the file is read: enough to keep a
// LAN busy, small enough that a slow reader costs little.
constexpr qint64 kMaxBufferedBytes = qint64{256} * 1024;
constexpr int kMaxOffers = 64;
const QByteArray kTrackPrefix = "/track/";

QByteArray contentTypeOf(const QString& path) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("flac"))
        return "audio/flac";
    if (suffix == QLatin1String("mp3"))
        return "audio/mpeg";
    if (suffix == QLatin1String("ogg") || suffix == QLatin1String("oga") ||
        suffix == QLatin1String("opus"))
        return "audio/ogg";
    if (suffix == QLatin1String("m4a") || suffix == QLatin1String("mp4"))
        return "audio/mp4";
    if (suffix == QLatin1String("wav"))
        return "audio/wav";
    return "application/octet-stream";
}

} // namespace

/// One connection: its request head, then the part of the file it asked for.
class TrackServer::Connection : public QObject {
public:
    explicit Connection(QSslSocket* socket)
        : socket(socket) {}

    QSslSocket* socket;
    QByteArray buffer;
    Clock::TimerId headTimer = 0;
    std::unique_ptr<QFile> file;
    qint64 remaining = 0;
    bool isStreaming = false;
    bool isAnswered = false;
};

TrackServer::TrackServer(std::shared_ptr<Clock> clock, EphemeralIdentity identity, Options options,
                         QObject* parent)
    : QObject(parent)
    , m_clock(std::move(clock))
    , m_identity(std::move(identity))
    , m_options(std::move(options))
    , m_server(std::make_unique<QSslServer>()) {
    m_server->setSslConfiguration(m_identity.configuration);
    m_server->setMaxPendingConnections(m_options.maxConnections);
    connect(m_server.get(), &QTcpServer::pendingConnectionAvailable, this,
            &TrackServer::onConnection);
}

TrackServer::~TrackServer() {
    // The sockets belong to the listening server and go with it; none may call back into a
    // server half destroyed.
    for (QObject* child : m_server->children())
        QObject::disconnect(child, nullptr, this, nullptr);
    m_server.reset();
}

// Reads more of the file while the socket's buffers have room, and closes once all is sent.
void TrackServer::pump(Connection* connection) {
    QSslSocket* s = connection->socket;
    if (!connection->isStreaming)
        return;
    while (connection->remaining > 0 &&
           s->bytesToWrite() + s->encryptedBytesToWrite() < kMaxBufferedBytes) {
        const QByteArray chunk =
            connection->file->read(std::min(kChunkBytes, connection->remaining));
        if (chunk.isEmpty()) {
            s->abort(); // the file shrank under us: the length sent is a lie now
            return;
        }
        connection->remaining -= chunk.size();
        s->write(chunk);
    }
    if (connection->remaining == 0 && s->bytesToWrite() == 0 && s->encryptedBytesToWrite() == 0)
        s->disconnectFromHost();
}

Status TrackServer::listen() {
    if (!m_server->listen(m_options.listenAddress, m_options.port))
        return makeError(TrackServerErrorCode::CannotListen,
                         QStringLiteral("cannot serve music to other computers: %1")
                             .arg(m_server->errorString()));
    return {};
}

quint16 TrackServer::port() const {
    return m_server->serverPort();
}

int TrackServer::connectionCount() const {
    return static_cast<int>(
        std::count_if(m_sockets.begin(), m_sockets.end(),
                      [](const QPointer<QSslSocket>& s) { return !s.isNull(); }));
}

bool TrackServer::isListening() const {
    return m_server->isListening();
}

QString TrackServer::advertisedHost() const {
    if (!m_options.advertisedHost.isEmpty())
        return m_options.advertisedHost;
    if (m_options.listenAddress != QHostAddress::Any &&
        m_options.listenAddress != QHostAddress::AnyIPv4)
        return m_options.listenAddress.toString();
    for (const QHostAddress& address : QNetworkInterface::allAddresses())
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback() &&
            !address.isLinkLocal())
            return address.toString();
    return QStringLiteral("127.0.0.1");
}

void TrackServer::stop() {
    revokeAll();
    m_server->close();
}

std::optional<TrackOffer> TrackServer::offer(const QString& path, double remaining) {
    if (m_options.isAllowed && !m_options.isAllowed())
        return std::nullopt;
    if (!isListening()) {
        if (const Status listening = listen(); !listening) {
            logEvent(LogCategory::Playback, LogLevel::Error,
                     "event=track_server_failed error=%{public}s", listening.error().description);
            return std::nullopt;
        }
    }
    const QFileInfo file(path);
    if (!file.isFile() || !file.isReadable())
        return std::nullopt;
    dropExpired();
    const auto seconds = std::chrono::duration<double>(std::max(0.0, remaining));
    const Duration expiresAt =
        m_clock->monotonicNow() + std::chrono::duration_cast<Duration>(seconds) + m_options.margin;
    QString capability = m_offerByPath.value(path);
    if (capability.isEmpty()) {
        if (m_offers.size() >= kMaxOffers) {
            // The offer that ends first goes: it is the one least likely still played.
            auto first = m_offers.begin();
            for (auto it = m_offers.begin(); it != m_offers.end(); ++it)
                if (it->expiresAt < first->expiresAt)
                    first = it;
            m_offerByPath.remove(first->path);
            m_offers.erase(first);
        }
        capability = unguessablePathSegment(32);
        m_offerByPath.insert(path, capability);
    }
    m_offers.insert(capability, Offer{path, expiresAt});
    QUrl url;
    url.setScheme(QStringLiteral("https"));
    url.setHost(advertisedHost());
    url.setPort(port());
    url.setPath(QString::fromLatin1(kTrackPrefix) + capability);
    return TrackOffer{url.toString(QUrl::FullyEncoded), offerKey()};
}

void TrackServer::revokeAll() {
    m_offers.clear();
    m_offerByPath.clear();
    for (const QPointer<QSslSocket>& socket : std::as_const(m_sockets))
        if (socket)
            socket->abort();
    m_sockets.clear();
}

void TrackServer::dropExpired() {
    const Duration now = m_clock->monotonicNow();
    for (auto it = m_offers.begin(); it != m_offers.end();) {
        if (it->expiresAt <= now) {
            m_offerByPath.remove(it->path);
            it = m_offers.erase(it);
        } else {
            ++it;
        }
    }
}

void TrackServer::onConnection() {
    while (m_server->hasPendingConnections()) {
        auto* socket = qobject_cast<QSslSocket*>(m_server->nextPendingConnection());
        if (!socket)
            continue;
        m_sockets.removeAll(nullptr);
        if (m_sockets.size() >= m_options.maxConnections) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        m_sockets.append(socket);
        auto* connection = new Connection(socket);
        connection->setParent(socket);
        // A connection that never finishes its head would hold a place for ever.
        const QPointer<QSslSocket> watched(socket);
        connection->headTimer = m_clock->schedule(m_options.headTimeout, [watched] {
            if (watched)
                watched->abort();
        });
        connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QObject::destroyed, this, [this, connection] {
            if (connection->isStreaming)
                --m_streams;
            m_clock->cancelScheduled(connection->headTimer);
        });
        connect(socket, &QSslSocket::readyRead, this, [this, connection] { answer(connection); });
        // Encrypted bytes wait in the socket after the plain ones are taken: both make room.
        connect(socket, &QSslSocket::bytesWritten, this, [connection] { pump(connection); });
        connect(socket, &QSslSocket::encryptedBytesWritten, this,
                [connection] { pump(connection); });
        if (socket->bytesAvailable() > 0)
            answer(connection);
    }
}

void TrackServer::answer(Connection* connection) {
    QSslSocket* socket = connection->socket;
    if (connection->isAnswered) {
        socket->readAll(); // one request per connection: anything more is ignored
        return;
    }
    connection->buffer += socket->read(kMaxRequestHeadBytes + 1 - connection->buffer.size());
    const auto end = requestHeadEnd(connection->buffer);
    auto reply = [&](int status, QList<std::pair<QByteArray, QByteArray>> headers = {}) {
        headers.emplaceBack("Connection", "close");
        if (status >= 400)
            headers.emplaceBack("Content-Length", "0");
        socket->write(responseHead(status, headers));
        socket->disconnectFromHost();
    };
    if (!end) {
        if (connection->buffer.size() > kMaxRequestHeadBytes) {
            connection->isAnswered = true;
            reply(431);
        }
        return;
    }
    connection->isAnswered = true;
    m_clock->cancelScheduled(connection->headTimer);
    const std::optional<RequestHead> head = parseRequestHead(connection->buffer.left(*end));
    if (!head)
        return reply(400);
    if (head->method != "GET" && head->method != "HEAD")
        return reply(405, {{"Allow", "GET, HEAD"}});
    const QByteArray target = head->target;
    Answer planned =
        plan(target.startsWith(kTrackPrefix) ? QString::fromLatin1(target.mid(kTrackPrefix.size()))
                                             : QString(),
             head->headers.value("range"), head->method == "HEAD");
    if (planned.status >= 400)
        return reply(planned.status, planned.headers);
    if (planned.file && m_streams >= m_options.maxStreams)
        return reply(503, {{"Retry-After", "5"}});
    planned.headers.emplaceBack("Connection", "close");
    socket->write(responseHead(planned.status, planned.headers));
    if (!planned.file) {
        socket->disconnectFromHost();
        return;
    }
    connection->file = std::move(planned.file);
    connection->remaining = planned.length;
    connection->isStreaming = true;
    ++m_streams;
    pump(connection);
}

TrackServer::Answer TrackServer::plan(const QString& capability, const QByteArray& rangeHeader,
                                      bool isHeadOnly) {
    if (m_options.isAllowed && !m_options.isAllowed()) {
        m_offers.clear();
        m_offerByPath.clear();
        return {404, {}, nullptr, 0};
    }
    dropExpired();
    const auto found = m_offers.constFind(capability);
    if (capability.isEmpty() || found == m_offers.constEnd())
        return {404, {}, nullptr, 0};
    auto file = std::make_unique<QFile>(found->path);
    if (!file->open(QIODevice::ReadOnly))
        return {404, {}, nullptr, 0};
    const qint64 size = file->size();
    const RangeRequest range = rangeOf(rangeHeader, size);
    if (range.kind == RangeRequest::Kind::Unsatisfiable)
        return {416, {{"Content-Range", "bytes */" + QByteArray::number(size)}}, nullptr, 0};
    const ByteRange part =
        range.kind == RangeRequest::Kind::Part ? range.range : ByteRange{0, size - 1};
    Answer answer{range.kind == RangeRequest::Kind::Part ? 206 : 200,
                  {{"Content-Type", contentTypeOf(found->path)},
                   {"Accept-Ranges", "bytes"},
                   {"Content-Length", QByteArray::number(size == 0 ? 0 : part.length())},
                   {"Cache-Control", "no-store"}},
                  nullptr,
                  0};
    if (range.kind == RangeRequest::Kind::Part)
        answer.headers.emplaceBack("Content-Range", "bytes " + QByteArray::number(part.first) +
                                                        '-' + QByteArray::number(part.last) + '/' +
                                                        QByteArray::number(size));
    if (!isHeadOnly && size > 0) {
        file->seek(part.first);
        answer.file = std::move(file);
        answer.length = part.length();
    }
    return answer;
}

} // namespace sonavert::stream
