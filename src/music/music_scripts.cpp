#include "src/music/music_scripts.h"

#include "src/script/script_literal.h"

namespace sonavert::music_scripts {

QString nowPlaying() {
    return QStringLiteral(R"SCRIPT(    if application "Music" is not running then return ""
    tell application "Music"
        try
            if player state is not playing then return ""
            set t   to name of current track
            set ar  to artist of current track
            set al  to album of current track
            set pos to player position
            return t & linefeed & ar & linefeed & al & linefeed & (pos as text)
        on error
            return ""
        end try
    end tell)SCRIPT");
}

QString pause() {
    return QStringLiteral(R"SCRIPT(tell application "Music" to pause)SCRIPT");
}

QString playFromLibrary(const QString& title, const QString& artist, double position) {
    static const QString partA = QStringLiteral(R"SCRIPT(    tell application "Music"
        activate
        try
            if player state is playing or player state is paused then stop
        end try

        set foundTrack to missing value
        try
            set candidates to (every track of library playlist 1 whose name is )SCRIPT");
    static const QString partB = QStringLiteral(R"SCRIPT()
            repeat with t in candidates
                if artist of t contains )SCRIPT");
    static const QString partC = QStringLiteral(R"SCRIPT( then
                    set foundTrack to t
                    exit repeat
                end if
            end repeat
        end try

        if foundTrack is missing value then return "library_miss"

        play foundTrack
        repeat 24 times
            delay 0.25
            try
                if player state is playing then
                    try
                        set player position to )SCRIPT");
    static const QString partD = QStringLiteral(R"SCRIPT(
                    end try
                    return "library_ok"
                end if
            end try
        end repeat
        return "library_no_play"
    end tell)SCRIPT");
    return partA + quoteForScript(title) + partB + quoteForScript(artist) + partC +
           scriptNumberLiteral(position) + partD;
}

QString verifyPlayback(const QString& title, const QString& artist, double position) {
    static const QString partE = QStringLiteral(R"SCRIPT(    tell application "Music"
        set stateText to "unknown"
        set trackText to "none"
        set artistText to "none"
        try
            set stateText to (player state as text)
            if player state is playing or player state is paused then
                set trackText to name of current track
                set artistText to artist of current track
            end if
            if player state is playing and trackText is )SCRIPT");
    static const QString partF = QStringLiteral(" and artistText contains ");
    static const QString partG = QStringLiteral(" then\n                set targetPos to ");
    static const QString partH = QStringLiteral(R"SCRIPT(
                if targetPos <= 1 then return "playing_match"
                -- A freshly-started streaming track is often still buffering
                -- when it first reports "playing", and `set player position`
                -- is silently ignored until the buffer is ready. Re-issue the
                -- seek until the position actually sticks (or we give up).
                repeat 16 times
                    try
                        set player position to targetPos
                    end try
                    delay 0.25
                    if player position >= (targetPos - 2) then return "playing_match"
                end repeat
                return "playing_seek_unconfirmed|target=" & targetPos & "|cur=" & (player position as text)
            end if
            return "snapshot|state=" & stateText & "|track=" & trackText & "|artist=" & artistText
        on error errMsg number errNum
            return "verify_error|number=" & errNum & "|message=" & errMsg
        end try
    end tell)SCRIPT");
    return partE + quoteForScript(title) + partF + quoteForScript(artist) + partG +
           scriptNumberLiteral(position) + partH;
}

QString openLocation(const QString& webLink) {
    static const QString head = QStringLiteral(R"SCRIPT(    tell application "Music"
        activate
        open location )SCRIPT");
    static const QString tail = QStringLiteral("\n    end tell");
    return head + quoteForScript(webLink) + tail;
}

} // namespace sonavert::music_scripts
