#pragma once

/// The product's fixed identifiers, chosen once and kept here so every part agrees on them.
namespace sonavert::app_identity {

/// Reverse-DNS bundle identifier: the log subsystem and the base of the keychain service and
/// the cloud container identifier.
inline constexpr char kBundleIdentifier[] = "io.sonavert.Sonavert";
/// Keychain service of the device identity: lower-case bundle identifier + ".device-identity".
inline constexpr char kIdentityKeychainService[] = "io.sonavert.sonavert.device-identity";
/// Keyring service under which this device's cloud token is kept (account: the server URL).
inline constexpr char kCloudTokenKeychainService[] = "io.sonavert.sonavert.cloud-token";
/// Cloud container: "iCloud." + lower-case bundle identifier.
inline constexpr char kContainerIdentifier[] = "iCloud.io.sonavert.sonavert";
/// Where users write for help.
inline constexpr char kSupportAddress[] = "support@sonavert.io";
/// Host of the web links of catalog songs and stations.
inline constexpr char kCatalogWebHost[] = "music.sonavert.io";
/// The update feed (RSS appcast) checked for newer releases.
inline constexpr char kUpdateFeedUrl[] = "https://sonavert.io/appcast.xml";
/// The project page opened when the app asks for a review.
inline constexpr char kProjectPageUrl[] = "https://sonavert.io";
/// Session-bus name of the running app's control interface (the first instance on a bus);
/// every instance also owns kControlBusName + "." + its instance name.
inline constexpr char kControlBusName[] = "io.sonavert.Sonavert";
/// Object path and interface of the control interface.
inline constexpr char kControlObjectPath[] = "/io/sonavert/Sonavert";
inline constexpr char kControlInterface[] = "io.sonavert.Sonavert.Control";
/// Prefix of the control interface's D-Bus error names.
inline constexpr char kControlErrorPrefix[] = "io.sonavert.Sonavert.Error.";

} // namespace sonavert::app_identity
