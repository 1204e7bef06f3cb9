#pragma once

// The scripts the music service runs against "Music", exactly as it builds them: fixed texts
// with titles and artists spliced in through quoteForScript and positions as number literals.

#include "src/script/script_literal.h"

#include <QString>

namespace sonavert::test {

inline QString nowPlayingScript() {
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

inline QString pauseScript() {
    return QStringLiteral(R"SCRIPT(tell application "Music" to pause)SCRIPT");
}

inline QString libraryScript(const QString& title, const QString& artist, double position) {
    return QStringLiteral(R"SCRIPT(    tell application "Music"
        activate
        try
            if player state is playing or player state is paused then stop
        end try

        set foundTrack to missing value
        try
            set candidates to (every track of library playlist 1 whose name is )SCRIPT") +
           quoteForScript(title) + QStringLiteral(R"SCRIPT()
            repeat with t in candidates
                if artist of t contains )SCRIPT") +
           quoteForScript(artist) + QStringLiteral(R"SCRIPT( then
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
                        set player position to )SCRIPT") +
           scriptNumberLiteral(position) + QStringLiteral(R"SCRIPT(
                    end try
                    return "library_ok"
                end if
            end try
        end repeat
        return "library_no_play"
    end tell)SCRIPT");
}

inline QString verificationScript(const QString& title, const QString& artist, double position) {
    return QStringLiteral(R"SCRIPT(    tell application "Music"
        set stateText to "unknown"
        set trackText to "none"
        set artistText to "none"
        try
            set stateText to (player state as text)
            if player state is playing or player state is paused then
                set trackText to name of current track
                set artistText to artist of current track
            end if
            if player state is playing and trackText is )SCRIPT") +
           quoteForScript(title) + QStringLiteral(" and artistText contains ") +
           quoteForScript(artist) + QStringLiteral(" then\n                set targetPos to ") +
           scriptNumberLiteral(position) + QStringLiteral(R"SCRIPT(
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
}

inline QString openLocationScript(const QString& webLink) {
    return QStringLiteral(R"SCRIPT(    tell application "Music"
        activate
        open location )SCRIPT") +
           quoteForScript(webLink) + QStringLiteral("\n") +
           QStringLiteral(R"SCRIPT(    end tell)SCRIPT");
}

} // namespace sonavert::test
