#include "src/runtime/log_format.h"

#include <QCryptographicHash>
#include <QStringList>
#include <cmath>

namespace sonavert {

namespace {

struct Specifier {
    bool isPublic = false;
    bool isPrivate = false;
    bool isMaskHash = false;
    bool isBool = false;
    char conversion = 's';
};

QString textOf(const LogValue& value, const Specifier& spec) {
    if (spec.isBool) {
        bool truth = false;
        if (auto b = std::get_if<bool>(&value))
            truth = *b;
        else if (auto i = std::get_if<qint64>(&value))
            truth = *i != 0;
        return truth ? QStringLiteral("true") : QStringLiteral("false");
    }
    return std::visit(
        [&](const auto& v) -> QString {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, QString>) {
                return v;
            } else if constexpr (std::is_same_v<V, bool>) {
                return spec.conversion == 's' ? QString::fromLatin1(v ? "true" : "false")
                                              : QString::number(v ? 1 : 0);
            } else if constexpr (std::is_same_v<V, double>) {
                if (spec.conversion == 'd')
                    return QString::number(static_cast<qint64>(v));
                return QString::asprintf("%f", v);
            } else {
                if (spec.conversion == 'f')
                    return QString::asprintf("%f", static_cast<double>(v));
                return QString::number(v);
            }
        },
        value);
}

bool isTextValue(const LogValue& value) {
    return std::holds_alternative<QString>(value);
}

// Parses "{flags}" (if present), length modifiers and the conversion after a '%'.
// Returns the position after the specifier.
const char* parseSpecifier(const char* p, Specifier& spec) {
    if (*p == '{') {
        const char* end = p + 1;
        while (*end && *end != '}')
            ++end;
        const QStringList flags =
            QString::fromUtf8(p + 1, end - p - 1).split(QLatin1Char(','), Qt::SkipEmptyParts);
        for (const QString& raw : flags) {
            const QString flag = raw.trimmed();
            spec.isPublic |= flag == QLatin1String("public");
            spec.isPrivate |= flag == QLatin1String("private");
            spec.isMaskHash |= flag == QLatin1String("mask.hash");
            spec.isBool |= flag == QLatin1String("bool");
        }
        p = *end ? end + 1 : end;
    }
    while (*p == 'l' || *p == 'h' || *p == 'z' || *p == 'j' || *p == 'q' || *p == 't')
        ++p;
    switch (*p) {
    case 'd':
    case 'i':
    case 'u':
        spec.conversion = 'd';
        return p + 1;
    case 'f':
    case 'g':
    case 'e':
        spec.conversion = 'f';
        return p + 1;
    case 's':
    case '@':
        spec.conversion = 's';
        return p + 1;
    default:
        spec.conversion = 's';
        return *p ? p + 1 : p;
    }
}

QString render(const LogValue& value, const Specifier& spec, const LogPrivacy& privacy) {
    // Unflagged text is private and unflagged scalars are public, as the platform log does.
    const bool isPrivate =
        spec.isPrivate || spec.isMaskHash || (!spec.isPublic && isTextValue(value) && !spec.isBool);
    QString text = textOf(value, spec);
    if (!isPrivate || privacy.showPrivate)
        return text;
    if (spec.isMaskHash)
        return QStringLiteral("<mask.hash: '%1'>").arg(maskHashToken(text, privacy.salt));
    return QStringLiteral("<private>");
}

} // namespace

QString maskHashToken(const QString& value, const QByteArray& salt) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(salt);
    hash.addData(value.toUtf8());
    return QString::fromLatin1(hash.result().left(16).toBase64());
}

QString renderLogFormat(const char* format, const std::vector<LogValue>& args,
                        const LogPrivacy& privacy) {
    QString out;
    QByteArray literal;
    std::size_t next = 0;
    const auto flushLiteral = [&] {
        out += QString::fromUtf8(literal);
        literal.clear();
    };
    for (const char* p = format; *p;) {
        if (*p != '%') {
            literal += *p++;
            continue;
        }
        if (p[1] == '%') {
            literal += '%';
            p += 2;
            continue;
        }
        flushLiteral();
        Specifier spec;
        p = parseSpecifier(p + 1, spec);
        out += next < args.size() ? render(args[next], spec, privacy) : QStringLiteral("<missing>");
        ++next;
    }
    flushLiteral();
    return out;
}

} // namespace sonavert
