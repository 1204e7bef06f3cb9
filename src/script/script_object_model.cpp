#include "src/script/script_object_model.h"

#include "src/script/script_coercion.h"
#include "src/script/script_errors.h"

#include <array>

namespace sonavert::script {

namespace {

using Kind = ScriptValue::Kind;

Error applicationError(const QString& application, const Error& error) {
    return makeError(application, error.code,
                     QStringLiteral("%1 got an error: %2").arg(application, error.description));
}

// Application properties: each reads one entry of the dictionary.
using ApplicationReader = QCoro::Task<Result<ScriptValue>> (*)(MusicApplication&, QString);

QCoro::Task<Result<ScriptValue>> readRunning(MusicApplication& app, QString) {
    const bool running = co_await app.isRunning();
    co_return ScriptValue::boolean(running);
}

QCoro::Task<Result<ScriptValue>> readPlayerState(MusicApplication& app, QString name) {
    const auto state = co_await app.playerState();
    if (!state)
        co_return applicationError(name, state.error());
    co_return ScriptValue::constant(playerStateText(state.value()));
}

QCoro::Task<Result<ScriptValue>> readPlayerPosition(MusicApplication& app, QString name) {
    const auto position = co_await app.playerPosition();
    if (!position)
        co_return applicationError(name, position.error());
    co_return ScriptValue::real(position.value());
}

QCoro::Task<Result<ScriptValue>> readCurrentTrack(MusicApplication& app, QString name) {
    auto track = co_await app.currentTrack();
    if (!track)
        co_return applicationError(name, track.error());
    if (!track.value())
        co_return applicationError(name, cantGet(QStringLiteral("current track")));
    co_return ScriptValue::track(name, std::move(*track.value()));
}

QCoro::Task<Result<ScriptValue>> readName(MusicApplication&, QString name) {
    co_return ScriptValue::text(name);
}

struct ApplicationProperty {
    const char* name;
    ApplicationReader read;
};
const std::array<ApplicationProperty, 5> kApplicationProperties{{
    {"running", readRunning},
    {"player state", readPlayerState},
    {"player position", readPlayerPosition},
    {"current track", readCurrentTrack},
    {"name", readName},
}};

const ApplicationProperty* findApplicationProperty(const QString& property) {
    for (const ApplicationProperty& entry : kApplicationProperties) {
        if (property == QLatin1String(entry.name))
            return &entry;
    }
    return nullptr;
}

struct TrackProperty {
    const char* name;
    ScriptValue (*read)(const ScriptTrack&);
};
const std::array<TrackProperty, 5> kTrackProperties{{
    {"name", [](const ScriptTrack& t) { return ScriptValue::text(t.name); }},
    {"artist", [](const ScriptTrack& t) { return ScriptValue::text(t.artist); }},
    {"album", [](const ScriptTrack& t) { return ScriptValue::text(t.album); }},
    {"duration", [](const ScriptTrack& t) { return ScriptValue::real(t.duration); }},
    {"persistent id", [](const ScriptTrack& t) { return ScriptValue::text(t.persistentID); }},
}};

const TrackProperty* findTrackProperty(const QString& property) {
    for (const TrackProperty& entry : kTrackProperties) {
        if (property == QLatin1String(entry.name))
            return &entry;
    }
    return nullptr;
}

bool hasLength(const ScriptValue& value) {
    return value.is(Kind::Text) || value.is(Kind::List);
}

Result<ScriptValue> pickIndex(const ScriptValue::List& items, qint64 index, const QString& what) {
    const auto size = static_cast<qint64>(items.size());
    const qint64 position = index < 0 ? size + index : index - 1;
    if (index == 0 || position < 0 || position >= size)
        return cantGet(what);
    return items.at(static_cast<std::size_t>(position));
}

QString ofObject(const QString& what, const ScriptValue& object) {
    return QStringLiteral("%1 of %2").arg(what, describeValue(object));
}

const std::array<const char*, 5> kCommandNames{"activate", "play", "pause", "stop",
                                               "open location"};

} // namespace

ScriptObjectModel::ScriptObjectModel(ApplicationLookup lookup)
    : m_lookup(std::move(lookup)) {}

bool ScriptObjectModel::hasProperty(const ScriptValue& object, const QString& property) {
    if (object.is(Kind::Application))
        return findApplicationProperty(property) != nullptr;
    if (object.is(Kind::Track))
        return findTrackProperty(property) != nullptr;
    return hasLength(object) && property == QLatin1String("length");
}

MusicApplication* ScriptObjectModel::applicationOf(const ScriptValue& object) const {
    return m_lookup ? m_lookup(object.applicationName()) : nullptr;
}

QCoro::Task<Result<ScriptValue>> ScriptObjectModel::getProperty(ScriptValue object,
                                                                QString property) {
    if (object.is(Kind::Application))
        co_return co_await applicationProperty(std::move(object), std::move(property));
    if (object.is(Kind::List))
        co_return co_await listProperty(std::move(object), std::move(property));
    if (object.is(Kind::Text) && property == QLatin1String("length"))
        co_return ScriptValue::number(object.asText().size());
    const TrackProperty* entry = object.is(Kind::Track) ? findTrackProperty(property) : nullptr;
    if (!entry)
        co_return cantGet(ofObject(property, object));
    co_return entry->read(object.asTrack().track);
}

QCoro::Task<Result<ScriptValue>> ScriptObjectModel::applicationProperty(ScriptValue application,
                                                                        QString property) {
    const ApplicationProperty* entry = findApplicationProperty(property);
    MusicApplication* app = applicationOf(application);
    if (!app && property == QLatin1String("running"))
        co_return ScriptValue::boolean(false);
    if (!entry || !app)
        co_return cantGet(ofObject(property, application));
    co_return co_await entry->read(*app, application.applicationName());
}

QCoro::Task<Result<ScriptValue>> ScriptObjectModel::listProperty(ScriptValue list,
                                                                 QString property) {
    if (property == QLatin1String("length"))
        co_return ScriptValue::number(static_cast<qint64>(list.asList().size()));
    // A property of a list of objects is that property of each item, as for `name of every
    // track`.
    ScriptValue::List values;
    for (const ScriptValue& item : list.asList()) {
        if (!item.isObject())
            co_return cantGet(ofObject(property, list));
        auto value = co_await getProperty(item, property);
        SONAVERT_CO_TRY(value);
        values.push_back(std::move(value.value()));
    }
    co_return ScriptValue::list(std::move(values));
}

QCoro::Task<Status> ScriptObjectModel::setProperty(ScriptValue object, QString property,
                                                   ScriptValue value) {
    MusicApplication* app = object.is(Kind::Application) ? applicationOf(object) : nullptr;
    if (!app || property != QLatin1String("player position"))
        co_return cantSet(ofObject(property, object), describeValue(value));
    const auto seconds = toNumber(value);
    SONAVERT_CO_TRY(seconds);
    const Status status = co_await app->setPlayerPosition(seconds.value().asReal());
    if (!status)
        co_return applicationError(object.applicationName(), status.error());
    co_return Status{};
}

QCoro::Task<Result<ScriptValue>> ScriptObjectModel::libraryTracks(ScriptValue playlist) {
    MusicApplication* app = applicationOf(playlist);
    if (!app)
        co_return cantGet(ofObject(QStringLiteral("every track"), playlist));
    auto tracks = co_await app->libraryTracks();
    if (!tracks)
        co_return applicationError(playlist.applicationName(), tracks.error());
    ScriptValue::List items;
    for (ScriptTrack& track : tracks.value())
        items.push_back(ScriptValue::track(playlist.applicationName(), std::move(track)));
    co_return ScriptValue::list(std::move(items));
}

QCoro::Task<Result<ScriptValue>> ScriptObjectModel::everyElement(ScriptValue container,
                                                                 QString elementClass) {
    if (elementClass == QLatin1String("item"))
        co_return ScriptValue::list(toList(container));
    if (elementClass == QLatin1String("track") && container.is(Kind::Playlist))
        co_return co_await libraryTracks(std::move(container));
    if (elementClass == QLatin1String("library playlist") && container.is(Kind::Application))
        co_return ScriptValue::list({ScriptValue::playlist(container.applicationName(), 1)});
    co_return cantGet(ofObject(QStringLiteral("every ") + elementClass, container));
}

QCoro::Task<Result<ScriptValue>> ScriptObjectModel::element(ScriptValue container,
                                                            QString elementClass, qint64 index) {
    const QString what = ofObject(QStringLiteral("%1 %2").arg(elementClass).arg(index), container);
    const bool isLibraryPlaylist = elementClass == QLatin1String("library playlist");
    if (isLibraryPlaylist && container.is(Kind::Application) && (index == 1 || index == -1))
        co_return ScriptValue::playlist(container.applicationName(), 1);
    if (elementClass == QLatin1String("item") && container.is(Kind::List))
        co_return pickIndex(container.asList(), index, what);
    if (elementClass != QLatin1String("track") || !container.is(Kind::Playlist))
        co_return cantGet(what);
    auto tracks = co_await libraryTracks(std::move(container));
    SONAVERT_CO_TRY(tracks);
    co_return pickIndex(tracks.value().asList(), index, what);
}

QCoro::Task<Status> ScriptObjectModel::send(ScriptValue target, ApplicationCommand command,
                                            std::optional<ScriptValue> argument) {
    const QString commandName =
        QString::fromLatin1(kCommandNames.at(static_cast<std::size_t>(command)));
    MusicApplication* app = target.is(Kind::Application) ? applicationOf(target) : nullptr;
    if (!target.is(Kind::Application))
        co_return doesNotUnderstand(target.is(Kind::Missing) ? QStringLiteral("\u00ABscript\u00BB")
                                                             : describeValue(target),
                                    commandName);
    if (!app)
        co_return cantGet(describeValue(target));
    Status status;
    switch (command) {
    case ApplicationCommand::Activate:
        status = co_await app->activate();
        break;
    case ApplicationCommand::Pause:
        status = co_await app->pause();
        break;
    case ApplicationCommand::Stop:
        status = co_await app->stop();
        break;
    case ApplicationCommand::Play:
        if (!argument) {
            status = co_await app->play();
        } else if (argument->is(Kind::Track) &&
                   argument->applicationName().compare(target.applicationName(),
                                                       Qt::CaseInsensitive) == 0) {
            status = co_await app->playTrack(argument->asTrack().track);
        } else {
            co_return cantMakeInto(describeValue(*argument), QStringLiteral("track"));
        }
        break;
    case ApplicationCommand::OpenLocation: {
        const auto url = toText(argument.value_or(ScriptValue::missing()));
        SONAVERT_CO_TRY(url);
        status = co_await app->openLocation(url.value());
        break;
    }
    }
    if (!status)
        co_return applicationError(target.applicationName(), status.error());
    co_return Status{};
}

} // namespace sonavert::script

namespace sonavert {

QString playerStateText(PlayerState state) {
    static const std::array<const char*, 5> names{"stopped", "playing", "paused", "fast forwarding",
                                                  "rewinding"};
    return QString::fromLatin1(names.at(static_cast<std::size_t>(state)));
}

} // namespace sonavert
