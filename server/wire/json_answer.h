#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QJsonObject>
#include <QLatin1StringView>
#include <QString>

namespace sonavert::cloud {

/// Writes compact JSON into bytes as it goes. Answers of stored records are written with it: a
/// record's fields are kept as the JSON text they were stored as and go out as they are, rather
/// than parsed into an object and written out again (most of a lookup's cost, when it was).
class JsonWriter {
public:
    JsonWriter& beginObject() { return open('{'); }
    JsonWriter& endObject() { return close('}'); }
    JsonWriter& beginArray() { return open('['); }
    JsonWriter& endArray() { return close(']'); }
    /// The name of the next member; its value comes next.
    JsonWriter& key(QLatin1StringView name);
    JsonWriter& string(const QString& text);
    JsonWriter& number(qint64 value);
    JsonWriter& boolean(bool value);
    /// One whole value that is JSON text already, written as it is.
    JsonWriter& json(QByteArrayView text);
    /// `object` in its compact form (small parts: an item's error, a zone's id).
    JsonWriter& object(const QJsonObject& object);

    qsizetype size() const { return m_out.size(); }
    QByteArray take() { return std::move(m_out); }

private:
    void beforeValue();
    JsonWriter& open(char bracket);
    JsonWriter& close(char bracket);

    QByteArray m_out;
    bool m_needsComma = false;
};

/// What a call answers: a JSON object, either built as one or already written out as text
/// (see JsonWriter).
class JsonAnswer {
public:
    JsonAnswer(QJsonObject object)
        : m_object(std::move(object)) {}
    static JsonAnswer written(QByteArray json);

    /// The compact JSON text that goes on the wire.
    QByteArray toJson() const;
    /// The answer as an object, read back from its text when it was written out: for callers
    /// in the same process.
    QJsonObject object() const;

private:
    QJsonObject m_object;
    QByteArray m_written; ///< set when written out; m_object is then empty
};

} // namespace sonavert::cloud
