#include "server/http/http_refusal.h"

#include <QJsonDocument>
#include <array>
#include <utility>

namespace sonavert::cloud {

namespace {

constexpr std::array<std::pair<int, const char*>, 4> kReasons{{
    {400, "Bad Request"},
    {413, "Payload Too Large"},
    {431, "Request Header Fields Too Large"},
    {503, "Service Unavailable"},
}};

QByteArray reasonOf(int status) {
    for (const auto& [code, reason] : kReasons) {
        if (code == status)
            return reason;
    }
    return "Error";
}

} // namespace

QByteArray refusalResponse(int status, const QJsonObject& errorBody) {
    const QByteArray json = QJsonDocument(errorBody).toJson(QJsonDocument::Compact);
    QByteArray answer =
        "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonOf(status) +
        "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(json.size()) +
        "\r\nConnection: close\r\n";
    if (status == 503)
        answer += "Retry-After: 1\r\n";
    return answer + "\r\n" + json;
}

} // namespace sonavert::cloud
