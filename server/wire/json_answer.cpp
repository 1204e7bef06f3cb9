#include "server/wire/json_answer.h"

#include <QJsonDocument>

namespace sonavert::cloud {

namespace {

constexpr char kHex[] = "0123456789abcdef";

void appendEscaped(QByteArray& out, const QByteArray& utf8) {
    out.append('"');
    for (const char ch : utf8) {
        const auto byte = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\') {
            out.append('\\').append(ch);
        } else if (byte < 0x20) {
            // Control characters as \u00XX: valid JSON for every one of them.
            out.append("\\u00").append(kHex[byte >> 4]).append(kHex[byte & 0xf]);
        } else {
            out.append(ch);
        }
    }
    out.append('"');
}

} // namespace

void JsonWriter::beforeValue() {
    if (m_needsComma)
        m_out.append(',');
    m_needsComma = true;
}

JsonWriter& JsonWriter::open(char bracket) {
    beforeValue();
    m_out.append(bracket);
    m_needsComma = false;
    return *this;
}

JsonWriter& JsonWriter::close(char bracket) {
    m_out.append(bracket);
    m_needsComma = true;
    return *this;
}

JsonWriter& JsonWriter::key(QLatin1StringView name) {
    beforeValue();
    appendEscaped(m_out, QByteArray(name.data(), name.size()));
    m_out.append(':');
    m_needsComma = false;
    return *this;
}

JsonWriter& JsonWriter::string(const QString& text) {
    beforeValue();
    appendEscaped(m_out, text.toUtf8());
    return *this;
}

JsonWriter& JsonWriter::number(qint64 value) {
    beforeValue();
    m_out.append(QByteArray::number(value));
    return *this;
}

JsonWriter& JsonWriter::boolean(bool value) {
    beforeValue();
    m_out.append(value ? "true" : "false");
    return *this;
}

JsonWriter& JsonWriter::json(QByteArrayView text) {
    beforeValue();
    m_out.append(text);
    return *this;
}

JsonWriter& JsonWriter::object(const QJsonObject& object) {
    return json(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

JsonAnswer JsonAnswer::written(QByteArray json) {
    JsonAnswer answer{QJsonObject()};
    answer.m_written = std::move(json);
    return answer;
}

QByteArray JsonAnswer::toJson() const {
    return m_written.isNull() ? QJsonDocument(m_object).toJson(QJsonDocument::Compact) : m_written;
}

QJsonObject JsonAnswer::object() const {
    return m_written.isNull() ? m_object : QJsonDocument::fromJson(m_written).object();
}

} // namespace sonavert::cloud
