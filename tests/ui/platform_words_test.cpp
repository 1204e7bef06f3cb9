// No text a user of this desktop sees names another platform's products: every string literal
// of the views and of the program's sources, read as the build compiles them.
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QStringList kOtherPlatformWords = {
    u"iCloud"_s, u"Apple Music"_s, u"Mac App Store"_s,    u"macOS"_s,
    u"iPhone"_s, u"iPad"_s,        u"Finish Mac Setup"_s, u"on this Mac"_s};

// The cloud container's identifier names the record store on the wire; nobody reads it.
const QString kWireIdentifier = u"kContainerIdentifier"_s;

/// The double- and single-quoted literals of `text`, each with its line number; comments are
/// skipped so that a remark about another platform is not taken for a text.
QList<std::pair<int, QString>> literalsOf(const QString& text) {
    QList<std::pair<int, QString>> found;
    int line = 1;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\n')) {
            ++line;
        } else if (c == QLatin1Char('/') && text.mid(i, 2) == QLatin1String("//")) {
            i = text.indexOf(QLatin1Char('\n'), i) - 1;
            if (i < 0)
                break;
        } else if (c == QLatin1Char('/') && text.mid(i, 2) == QLatin1String("/*")) {
            const qsizetype end = text.indexOf(QLatin1String("*/"), i + 2);
            line += int(text.mid(i, end - i).count(QLatin1Char('\n')));
            i = end < 0 ? text.size() : end + 1;
        } else if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
            QString literal;
            const int startLine = line;
            qsizetype j = i + 1;
            for (; j < text.size() && text.at(j) != c; ++j) {
                if (text.at(j) == QLatin1Char('\\'))
                    literal += text.at(j++);
                if (j < text.size())
                    literal += text.at(j);
            }
            found.append({startLine, literal});
            i = j;
        }
    }
    return found;
}

QStringList offences(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {path + u": cannot be read"_s};
    const QString text = QString::fromUtf8(file.readAll());
    const QStringList lines = text.split(QLatin1Char('\n'));
    QStringList found;
    for (const auto& [line, literal] : literalsOf(text)) {
        if (lines.value(line - 1).contains(kWireIdentifier))
            continue;
        for (const QString& word : kOtherPlatformWords) {
            if (literal.contains(word))
                found << u"%1:%2: \"%3\""_s.arg(path).arg(line).arg(literal);
        }
    }
    return found;
}

QStringList sourcesUnder(const QString& folder, const QStringList& patterns) {
    QStringList paths;
    QDirIterator it(QStringLiteral(SONAVERT_SOURCE_DIR "/") + folder, patterns, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        paths << it.next();
    return paths;
}

} // namespace

class PlatformWordsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void literalsAreFoundOutsideCommentsOnly() {
        const auto found = literalsOf(QStringLiteral("// \"iCloud\" in a remark\ntext: \"Finish "
                                                     "Setup\"\n/* 'macOS'\n */ x('a\\'b', \"c\")"));
        QCOMPARE(found.size(), 3);
        QCOMPARE(found[0], std::make_pair(2, u"Finish Setup"_s));
        QCOMPARE(found[1], std::make_pair(4, u"a\\'b"_s));
        QCOMPARE(found[2].second, u"c"_s);
    }

    void noViewNamesAnotherPlatform() {
        const QStringList views = sourcesUnder(u"src/ui/qml"_s, {u"*.qml"_s});
        QVERIFY(views.size() > 10);
        QStringList found;
        for (const QString& view : views)
            found << offences(view);
        QVERIFY2(found.isEmpty(), qPrintable(found.join(QLatin1Char('\n'))));
    }

    void noTextOfTheProgramsNamesAnotherPlatform() {
        const QStringList patterns = {u"*.cpp"_s, u"*.h"_s};
        const QStringList sources =
            sourcesUnder(u"src"_s, patterns) + sourcesUnder(u"tools"_s, patterns);
        QVERIFY(sources.size() > 100);
        QStringList found;
        for (const QString& source : sources)
            found << offences(source);
        QVERIFY2(found.isEmpty(), qPrintable(found.join(QLatin1Char('\n'))));
    }
};

QTEST_GUILESS_MAIN(PlatformWordsTest)
#include "platform_words_test.moc"
