#pragma once

#include "src/runtime/clock.h"
#include "src/runtime/task_handle.h"
#include "src/ui/device_list_model.h"
#include "src/ui/invite_bridge.h"
#include "src/ui/keys_bridge.h"
#include "src/ui/sign_in_bridge.h"
#include "src/ui/window_services.h"

#include <QCoro/QCoroTask>
#include <QImage>
#include <QObject>
#include <QStringList>
#include <QtQml/qqmlregistration.h>
#include <functional>
#include <stop_token>

namespace sonavert {

/// The window's state and actions as typed properties over the coordinator, the receiver
/// installer, the user defaults and the clock. Every rule of what the window shows is here;
/// the views only lay it out and call the actions.
class WindowBridge : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Made by MainWindow over the app's services")
    Q_PROPERTY(Screen screen READ screen NOTIFY screenChanged)
    Q_PROPERTY(Sheet sheet READ sheet NOTIFY screenChanged)
    Q_PROPERTY(bool showWelcome READ showWelcome NOTIFY screenChanged)
    Q_PROPERTY(bool showDiscontinuedBanner READ showDiscontinuedBanner NOTIFY bannersChanged)
    Q_PROPERTY(QString discontinuedText READ discontinuedText NOTIFY bannersChanged)
    Q_PROPERTY(bool showReceiverOnboarding READ showReceiverOnboarding NOTIFY screenChanged)
    Q_PROPERTY(bool showMusicConsent READ showMusicConsent NOTIFY screenChanged)
    Q_PROPERTY(bool receiverMissing READ receiverMissing NOTIFY bannersChanged)
    Q_PROPERTY(QStringList mainSections READ mainSections NOTIFY bannersChanged)
    Q_PROPERTY(QString activityLabel READ activityLabel NOTIFY bannersChanged)
    Q_PROPERTY(QString transferError READ transferError NOTIFY bannersChanged)
    Q_PROPERTY(bool canPush READ canPush NOTIFY nowPlayingChanged)
    Q_PROPERTY(QString nowPlayingTitle READ nowPlayingTitle NOTIFY nowPlayingChanged)
    Q_PROPERTY(QString nowPlayingArtist READ nowPlayingArtist NOTIFY nowPlayingChanged)
    Q_PROPERTY(QString nowPlayingAlbum READ nowPlayingAlbum NOTIFY nowPlayingChanged)
    Q_PROPERTY(bool hasNowPlayingAlbum READ hasNowPlayingAlbum NOTIFY nowPlayingChanged)
    Q_PROPERTY(QString nowPlayingElapsed READ nowPlayingElapsed NOTIFY nowPlayingChanged)
    /// "Playing from another computer" while the song comes from another computer's copy.
    Q_PROPERTY(QString nowPlayingSource READ nowPlayingSource NOTIFY nowPlayingChanged)
    Q_PROPERTY(sonavert::DeviceListModel* devices READ devices CONSTANT)
    Q_PROPERTY(bool offersDownloadLink READ offersDownloadLink CONSTANT)
    Q_PROPERTY(QString versionLine READ versionLine CONSTANT)
    Q_PROPERTY(QString versionAccessibilityLabel READ versionAccessibilityLabel CONSTANT)
    Q_PROPERTY(bool darkAppearance READ darkAppearance NOTIFY appearanceChanged)
    Q_PROPERTY(bool animationsEnabled READ animationsEnabled NOTIFY appearanceChanged)
    Q_PROPERTY(bool animationsRunning READ animationsRunning NOTIFY appearanceChanged)
    Q_PROPERTY(bool windowVisible READ windowVisible NOTIFY appearanceChanged)
    Q_PROPERTY(bool isShowingHelp READ isShowingHelp NOTIFY isShowingHelpChanged)
    Q_PROPERTY(sonavert::SignInBridge* signIn READ signIn CONSTANT)
    Q_PROPERTY(sonavert::InviteBridge* invite READ invite CONSTANT)
    Q_PROPERTY(sonavert::KeysBridge* keys READ keys CONSTANT)
    Q_PROPERTY(bool hasAccount READ hasAccount CONSTANT)
    Q_PROPERTY(QString accountLine READ accountLine NOTIFY accountChanged)
    Q_PROPERTY(bool isConfirmingSignOut READ isConfirmingSignOut NOTIFY accountChanged)
    Q_PROPERTY(QString signOutQuestion READ signOutQuestion NOTIFY accountChanged)
    Q_PROPERTY(QString signOutError READ signOutError NOTIFY accountChanged)
    Q_PROPERTY(bool dontShowWelcomeAgain READ dontShowWelcomeAgain WRITE setDontShowWelcomeAgain
                   NOTIFY dontShowWelcomeAgainChanged)
    /// "Share this computer's music with my other computers": on unless the user turned it off.
    Q_PROPERTY(bool shareMusic READ shareMusic WRITE setShareMusic NOTIFY shareMusicChanged)

public:
    /// The welcome screen first, then the sign-in screen while the device has no account.
    enum class Screen { Welcome, SignIn, Main };
    Q_ENUM(Screen)
    /// The one sheet over the main content, if any: the music question comes first.
    enum class Sheet { NoSheet, MusicConsent, ReceiverOnboarding };
    Q_ENUM(Sheet)

    /// The window's picture, for the support mail; may be empty.
    using Snapshotter = std::function<QImage()>;

    inline static const QString kHideWelcomeKey = QStringLiteral("Tessary.hideWelcome");
    /// The stored dismissal of the discontinued-version banner (its key predates the banner's
    /// meaning here, and stays so that a dismissal is kept).
    inline static const QString kDiscontinuedBannerDismissedKey =
        QStringLiteral("Tessary.macStoreBannerDismissed");
    static constexpr Duration kReviewRequestDelay = 3s;
    static constexpr Duration kReceiverRecheckDelay = 3s;
    /// After an offer, the receiver is looked for this many times, kReceiverRecheckDelay
    /// apart, until it shows: the user answers the import's dialog in their own time.
    static constexpr int kReceiverRecheckCount = 40;
    static constexpr Duration kWaveformFrameInterval = std::chrono::microseconds(1000000 / 15);

    WindowBridge(WindowServices services, Snapshotter snapshot, QObject* parent = nullptr);
    ~WindowBridge() override;

    Screen screen() const;
    Sheet sheet() const;
    bool showWelcome() const { return m_showWelcome; }
    /// Only while the update feed marks this build's download channel discontinued, until
    /// dismissed.
    bool showDiscontinuedBanner() const {
        return m_successorChannel.has_value() && !m_isDiscontinuedBannerDismissed;
    }
    QString discontinuedText() const;
    /// What the update feed said last: the channel to move to, or none while this build's is
    /// current.
    void setSuccessorChannel(const std::optional<QString>& channel);
    bool showReceiverOnboarding() const { return m_showReceiverOnboarding; }
    bool showMusicConsent() const { return m_showMusicConsent; }
    bool receiverMissing() const { return m_receiverMissing; }
    /// The main content from top to bottom: "title", "receiver", "discontinued", "nowPlaying",
    /// "activity", "transferError", "sync", "key", "devices", "footer", each only when it
    /// shows.
    QStringList mainSections() const;
    QString activityLabel() const;
    QString transferError() const;
    bool canPush() const;
    QString nowPlayingTitle() const;
    QString nowPlayingArtist() const;
    QString nowPlayingAlbum() const;
    bool hasNowPlayingAlbum() const;
    QString nowPlayingElapsed() const;
    QString nowPlayingSource() const;
    DeviceListModel* devices() const { return m_devices; }
    bool offersDownloadLink() const { return true; }
    QString versionLine() const;
    QString versionAccessibilityLabel() const;
    bool darkAppearance() const { return m_darkAppearance; }
    bool animationsEnabled() const { return m_animationsEnabled; }
    /// Animations run only while the window is shown and motion is not reduced.
    bool animationsRunning() const { return m_windowVisible && m_animationsEnabled; }
    bool windowVisible() const { return m_windowVisible; }
    bool isShowingHelp() const { return m_isShowingHelp; }
    bool dontShowWelcomeAgain() const { return m_dontShowWelcomeAgain; }
    bool shareMusic() const;
    SignInBridge* signIn() const { return m_signIn; }
    InviteBridge* invite() const { return m_invite; }
    KeysBridge* keys() const { return m_keys; }
    bool hasAccount() const { return m_services.account != nullptr; }
    /// Who this computer is signed in as; empty while signed out.
    QString accountLine() const;
    bool isConfirmingSignOut() const { return m_isConfirmingSignOut; }
    QString signOutQuestion() const;
    QString signOutError() const { return m_signOutError; }

    void setDarkAppearance(bool dark);
    void setAnimationsEnabled(bool enabled);
    /// The window was shown or hidden: start-up work, timers and animations follow it.
    void setWindowVisible(bool visible);
    void setDontShowWelcomeAgain(bool value);
    void setShareMusic(bool value);

    Q_INVOKABLE void transfer(const QString& deviceID);
    Q_INVOKABLE void pull(const QString& deviceID);
    Q_INVOKABLE void toggleFavorite(const QString& deviceID);
    Q_INVOKABLE void forget(const QString& deviceID);
    /// The row's "Verify": starts verifying that computer, which lacks the account's key.
    Q_INVOKABLE void verify(const QString& deviceID);
    Q_INVOKABLE void closeDiscontinuedBanner();
    Q_INVOKABLE void closeTransferError();
    Q_INVOKABLE void addShortcut();
    Q_INVOKABLE void notNow();
    Q_INVOKABLE void installShortcut();
    Q_INVOKABLE void closeReceiverOnboarding();
    Q_INVOKABLE void answerMusicConsent(bool allowed);
    /// The sheet's window was closed without an answer: the onboarding counts as closed, the
    /// music question waits for the next start.
    Q_INVOKABLE void closeSheet();
    Q_INVOKABLE void getStarted();
    Q_INVOKABLE void getDownloadLink();
    Q_INVOKABLE void contactSupport();
    Q_INVOKABLE void checkForUpdates();
    Q_INVOKABLE void quit();
    Q_INVOKABLE void showHelp();
    Q_INVOKABLE void closeHelp();
    /// "Add Another Computer…": the invitation dialog, when signed in.
    bool canAddAnotherComputer() const { return hasAccount() && screen() == Screen::Main; }
    Q_INVOKABLE void addAnotherComputer();
    Q_INVOKABLE void askToSignOut();
    Q_INVOKABLE void cancelSignOut();
    Q_INVOKABLE void confirmSignOut();
    /// A `sonavert://pair` link was opened: the sign-in screen shows its server and code for
    /// the user to confirm. False when signed in already or when the link is no pairing link.
    bool showPairingLink(const QUrl& link);

Q_SIGNALS:
    void screenChanged();
    void bannersChanged();
    void nowPlayingChanged();
    void appearanceChanged();
    void isShowingHelpChanged();
    void dontShowWelcomeAgainChanged();
    void shareMusicChanged();
    void accountChanged();
    /// The start-up work ran because the main content came into view.
    void mainContentShown();

private:
    DeviceListModel::Actions listActions();
    void connectCoordinator();
    void refreshDevices();
    void scheduleOfflineRefresh();
    void updateWaveform();
    void scheduleWaveformFrame();
    void updateMainContentInView();
    void setShowWelcome(bool value);
    void setReceiverMissing(bool value);
    void onReviewRequestChanged();
    void onAccountStateChanged();
    void setConfirmingSignOut(bool value, QString error = {});
    QCoro::Task<> runSignOut();
    std::optional<AppDevice> deviceWithID(const QString& id) const;
    QCoro::Task<> runReceiverCheck(std::stop_token token);
    void startReceiverRechecks();
    QCoro::Task<> runReceiverRechecks(std::stop_token token);
    QCoro::Task<> runReviewRequest();

    WindowServices m_services;
    Snapshotter m_snapshot;
    DeviceListModel* m_devices;
    bool m_showWelcome;
    bool m_isDiscontinuedBannerDismissed;
    std::optional<QString> m_successorChannel;
    bool m_showReceiverOnboarding;
    bool m_showMusicConsent;
    bool m_receiverMissing = false;
    bool m_darkAppearance = false;
    bool m_animationsEnabled = true;
    bool m_windowVisible = false;
    bool m_isMainContentInView = false;
    bool m_isShowingHelp = false;
    bool m_dontShowWelcomeAgain = false;
    bool m_isConfirmingSignOut = false;
    bool m_isSigningOut = false;
    QString m_signOutError;
    SignInBridge* m_signIn;
    InviteBridge* m_invite;
    KeysBridge* m_keys;
    std::optional<Clock::TimerId> m_offlineRefresh;
    std::optional<Clock::TimerId> m_waveformFrame;
    std::stop_source m_inViewWork;
    std::stop_source m_recheckWork; ///< the looks for the receiver after an offer
    TaskHandle m_tasks;             ///< what this object started; last, so it ends them first
};

} // namespace sonavert
