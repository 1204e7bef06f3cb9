#include "src/model/record_json.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <charconv>
#include <cmath>

namespace sonavert {

namespace {

/// Writes JSON text with keys in the order they are written (QJsonObject would sort them).
class JsonWriter {
public:
    void beginObject() { open('{'); }
    void endObject() { close('}'); }
    void beginArray() { open('['); }
    void endArray() { close(']'); }

    void key(const char* name) {
        separate();
        writeString(QString::fromLatin1(name));
        m_out += ':';
        m_afterKey = true;
    }
    void string(const QString& text) {
        separate();
        writeString(text);
    }
    void boolean(bool value) {
        separate();
        m_out += value ? "true" : "false";
    }
    void number(double value) {
        separate();
        if (!std::isfinite(value)) {
            m_isValid = false;
            return;
        }
        char buffer[32];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
        m_out.append(buffer, result.ptr - buffer);
    }
    void invalidate() { m_isValid = false; }

    std::optional<QByteArray> result() const {
        return m_isValid ? std::optional<QByteArray>(m_out) : std::nullopt;
    }

private:
    void open(char c) {
        separate();
        m_out += c;
        m_isFirst = true;
    }
    void close(char c) {
        m_out += c;
        m_isFirst = false;
    }
    void separate() {
        if (m_afterKey) {
            m_afterKey = false;
            return;
        }
        if (!m_isFirst && !m_out.isEmpty())
            m_out += ',';
        m_isFirst = false;
    }
    void writeString(const QString& text) {
        m_out += '"';
        for (const QChar c : text) {
            const char16_t u = c.unicode();
            switch (u) {
            case '"':
                m_out += "\\\"";
                break;
            case '\\':
                m_out += "\\\\";
                break;
            case '\n':
                m_out += "\\n";
                break;
            case '\r':
                m_out += "\\r";
                break;
            case '\t':
                m_out += "\\t";
                break;
            case '\b':
                m_out += "\\b";
                break;
            case '\f':
                m_out += "\\f";
                break;
            default:
                if (u < 0x20)
                    m_out +=
                        QStringLiteral("\\u%1").arg(int(u), 4, 16, QLatin1Char('0')).toLatin1();
                else
                    m_out += QString(c).toUtf8();
            }
        }
        m_out += '"';
    }

    QByteArray m_out;
    bool m_isFirst = true;
    bool m_afterKey = false;
    bool m_isValid = true;
};

void writeOptional(JsonWriter& w, const char* name, const std::optional<QString>& value) {
    if (!value)
        return;
    w.key(name);
    w.string(*value);
}

void write(JsonWriter& w, const PlaybackState& s) {
    w.beginObject();
    w.key("songID");
    w.string(s.songID);
    w.key("playbackTime");
    w.number(s.playbackTime);
    w.key("songTitle");
    w.string(s.songTitle);
    w.key("artistName");
    w.string(s.artistName);
    writeOptional(w, "albumTitle", s.albumTitle);
    writeOptional(w, "stationID", s.stationID);
    writeOptional(w, "handoffMessageID", s.handoffMessageID);
    // Newer optional keys go last; older devices read past keys they do not know.
    writeOptional(w, "returnDeviceID", s.returnDeviceID);
    writeOptional(w, "returnReason", s.returnReason);
    writeOptional(w, "streamURL", s.streamURL);
    if (s.offer) {
        w.key("offerURL");
        w.string(s.offer->url);
        w.key("offerKey");
        w.string(s.offer->key);
    }
    if (s.duration > 0) {
        w.key("duration");
        w.number(s.duration);
    }
    w.endObject();
}

void write(JsonWriter& w, const AppDevice& d) {
    w.beginObject();
    w.key("id");
    w.string(d.id);
    w.key("name");
    w.string(d.name);
    w.key("lastSeen");
    w.number(d.lastSeen.secondsSinceReferenceDate);
    writeOptional(w, "sessionID", d.sessionID);
    if (d.nowPlaying) {
        w.key("nowPlaying");
        write(w, *d.nowPlaying);
    }
    w.key("presence");
    w.string(rawValue(d.presence));
    w.key("hasQueuedPush");
    w.boolean(d.hasQueuedPush);
    w.key("isFavorite");
    w.boolean(d.isFavorite);
    w.endObject();
}

// Reads fields of one object; any failure marks the whole value as undecodable.
class FieldReader {
public:
    explicit FieldReader(const QJsonObject& object)
        : m_object(object) {}
    bool isValid() const { return m_isValid; }

    QString string(const char* name) {
        const QJsonValue v = m_object.value(QLatin1String(name));
        m_isValid &= v.isString();
        return v.toString();
    }
    double number(const char* name) {
        const QJsonValue v = m_object.value(QLatin1String(name));
        m_isValid &= v.isDouble();
        return v.toDouble();
    }
    bool boolean(const char* name) {
        const QJsonValue v = m_object.value(QLatin1String(name));
        m_isValid &= v.isBool();
        return v.toBool();
    }
    std::optional<QString> optionalString(const char* name) {
        const QJsonValue v = m_object.value(QLatin1String(name));
        if (v.isUndefined() || v.isNull())
            return std::nullopt;
        m_isValid &= v.isString();
        return v.toString();
    }
    QJsonValue optionalValue(const char* name) {
        const QJsonValue v = m_object.value(QLatin1String(name));
        return v.isNull() ? QJsonValue(QJsonValue::Undefined) : v;
    }
    void fail() { m_isValid = false; }

private:
    QJsonObject m_object;
    bool m_isValid = true;
};

std::optional<QJsonValue> parse(const QByteArray& json) {
    // Wrap in an array so a document whose top level is not an object or array still parses
    // and reaches the type checks.
    QJsonParseError error;
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray("[") + json + QByteArray("]"), &error);
    if (error.error != QJsonParseError::NoError || document.array().size() != 1)
        return std::nullopt;
    return document.array().at(0);
}

} // namespace

QString rawValue(DevicePresence presence) {
    switch (presence) {
    case DevicePresence::Online:
        return QStringLiteral("online");
    case DevicePresence::Connecting:
        return QStringLiteral("connecting");
    case DevicePresence::Offline:
        return QStringLiteral("offline");
    }
    return {};
}

std::optional<DevicePresence> devicePresenceFromRawValue(const QString& raw) {
    for (auto presence :
         {DevicePresence::Online, DevicePresence::Connecting, DevicePresence::Offline})
        if (rawValue(presence) == raw)
            return presence;
    return std::nullopt;
}

std::optional<QByteArray> encodeJson(const PlaybackState& state) {
    JsonWriter w;
    write(w, state);
    return w.result();
}

std::optional<QByteArray> encodeJson(const AppDevice& device) {
    JsonWriter w;
    write(w, device);
    return w.result();
}

std::optional<QByteArray> encodeJson(const DeviceList& devices) {
    JsonWriter w;
    w.beginArray();
    for (const auto& device : devices)
        write(w, device);
    w.endArray();
    return w.result();
}

std::optional<PlaybackState> playbackStateFromJson(const QJsonValue& value) {
    if (!value.isObject())
        return std::nullopt;
    FieldReader r(value.toObject());
    PlaybackState s;
    s.songID = r.string("songID");
    s.playbackTime = r.number("playbackTime");
    s.songTitle = r.string("songTitle");
    s.artistName = r.string("artistName");
    s.albumTitle = r.optionalString("albumTitle");
    s.stationID = r.optionalString("stationID");
    s.handoffMessageID = r.optionalString("handoffMessageID");
    s.returnDeviceID = r.optionalString("returnDeviceID");
    s.returnReason = r.optionalString("returnReason");
    s.streamURL = r.optionalString("streamURL");
    const std::optional<QString> offerURL = r.optionalString("offerURL");
    const std::optional<QString> offerKey = r.optionalString("offerKey");
    if (offerURL && offerKey)
        s.offer = TrackOffer{*offerURL, *offerKey};
    s.duration = r.optionalValue("duration").toDouble(0.0);
    return r.isValid() ? std::optional(s) : std::nullopt;
}

std::optional<AppDevice> appDeviceFromJson(const QJsonValue& value) {
    if (!value.isObject())
        return std::nullopt;
    FieldReader r(value.toObject());
    AppDevice d;
    d.id = r.string("id");
    d.name = r.string("name");
    d.lastSeen = Timestamp{r.number("lastSeen")};
    d.sessionID = r.optionalString("sessionID");
    if (const QJsonValue nowPlaying = r.optionalValue("nowPlaying"); !nowPlaying.isUndefined()) {
        d.nowPlaying = playbackStateFromJson(nowPlaying);
        if (!d.nowPlaying)
            r.fail();
    }
    const auto presence = devicePresenceFromRawValue(r.string("presence"));
    if (!presence)
        r.fail();
    d.presence = presence.value_or(DevicePresence::Offline);
    d.hasQueuedPush = r.boolean("hasQueuedPush");
    d.isFavorite = r.boolean("isFavorite");
    return r.isValid() ? std::optional(d) : std::nullopt;
}

std::optional<PlaybackState> decodePlaybackState(const QByteArray& json) {
    const auto value = parse(json);
    return value ? playbackStateFromJson(*value) : std::nullopt;
}

std::optional<AppDevice> decodeAppDevice(const QByteArray& json) {
    const auto value = parse(json);
    return value ? appDeviceFromJson(*value) : std::nullopt;
}

std::optional<DeviceList> decodeDeviceList(const QByteArray& json) {
    const auto value = parse(json);
    if (!value || !value->isArray())
        return std::nullopt;
    DeviceList devices;
    for (const QJsonValue item : value->toArray()) {
        auto device = appDeviceFromJson(item);
        if (!device)
            return std::nullopt;
        devices.append(*device);
    }
    return devices;
}

} // namespace sonavert
