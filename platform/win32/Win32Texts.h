#pragma once
/// The French texts only the Windows program shows.

namespace quennel::win32::texts {

/// `quennel --unregister-event-source` refused; the system's text follows.
inline constexpr const char* kUnregisterFailed =
    "La source d'événements Quennel n'a pas pu être retirée du journal Application : ";
/// A first install's missing folders would be made through a link someone
/// other than the system placed; the folder follows.
inline constexpr const char* kFolderThroughLink =
    "Dossiers non créés : le chemin passe par un lien qui n'est pas celui du système : ";

}  // namespace quennel::win32::texts
