#pragma once
/// Every word Quennel itself shows, in one place. The system's own error
/// texts come from the backends, which format them and nothing else.

namespace quennel::texts {

/// Title of the boxes that name no other, and of the failure report.
inline constexpr const char* kProgramTitle = "Quennel";
/// The usage message, for a malformed command line or an empty path.
inline constexpr const char* kUsage =
    "Donnez le programme source entre guillements, un espace, et le programme "
    "destination entre guillemets en paramètre svp.";
/// First line of the report of a failure that nothing handled.
inline constexpr const char* kFailureHeading = "Erreur d'exécution";
/// Heads the copy-error box's second line: "Copy SOURCE, DEST".
inline constexpr const char* kCopyContext = "Copy ";

/// The progress window's caption and its two labels' texts.
inline constexpr const char* kCaption = "Mise à jour automatique de programme 32bits";
inline constexpr const char* kInstalling = "Installation de la nouvelle version de ";
inline constexpr const char* kCopying = "(Copie de ";
inline constexpr const char* kCopyingInto = " dans ";
inline constexpr const char* kCopyingEnd = ")";

/// The headless progress line on a terminal: "Mise à jour : 42 %".
inline constexpr const char* kProgressLine = "Mise à jour : ";
inline constexpr const char* kPercent = " %";

/// What stands for a system error that has no text of its own: "Erreur
/// système 1234.".
inline constexpr const char* kSystemError = "Erreur système ";

/// `quennel --verify=NEW`: what this machine's trust list makes of NEW.
inline constexpr const char* kVerifyAccepted = "Signature acceptée par les clés de confiance de cette machine : clé ";
inline constexpr const char* kVerifySignedOn = ", signée le ";
inline constexpr const char* kVerifyFile = ", fichier ";
inline constexpr const char* kVerifyNoOrder =
    "L'ordre des versions n'est pas vérifié ici : chaque poste compare avec la signature de la version qu'il a "
    "installée.";
inline constexpr const char* kVerifyNoList =
    "Aucune liste de clés de confiance sur cette machine : rien n'y est vérifié, toute version y serait installée.";

/// `quennel --help` prints the usage text, then this.
inline constexpr const char* kSynopsis =
    "Usage: quennel \"NEW\" \"INSTALLED\" [ARGUMENT...]\n"
    "       quennel --verify=NEW\n"
    "       quennel --version\n"
    "       quennel --help\n";

/// Another run is updating the same program: "Une autre mise à jour de
/// PATH est en cours : attente de sa fin.", said once while waiting, and
/// the box's first line when the wait ends without it.
inline constexpr const char* kOtherUpdate = "Une autre mise à jour de ";
inline constexpr const char* kOtherUpdateWaiting = " est en cours : attente de sa fin.";
inline constexpr const char* kOtherUpdateGaveUp = " est toujours en cours : la nouvelle version n'a pas été installée.";

/// A new version still being written where it is published; the reason
/// it was noticed follows.
inline constexpr const char* kStillPublished = "La nouvelle version est encore en cours de publication";
/// A new version, or its signature, dated too far ahead of this machine's
/// clock: "La nouvelle version est datée du 2099-01-01 00:00:00 UTC, plus
/// de cinq minutes après l'horloge de cette machine (2026-12-08 09:00:00
/// UTC) : elle sera installée une fois cette heure passée."
inline constexpr const char* kVersionDated = "La nouvelle version est datée du ";
inline constexpr const char* kSignatureDated = "La signature de la nouvelle version est datée du ";
inline constexpr const char* kDatedAheadOf = ", plus de cinq minutes après l'horloge de cette machine (";
inline constexpr const char* kDatedAheadEnd = ") : elle sera installée une fois cette heure passée.";
/// A `\\?\` path whose name ends in a dot or a space, which Windows
/// drops everywhere else: another file than the program the name shows.
inline constexpr const char* kTrailingDotOrSpace =
    "Nom refusé : il finit par un point ou une espace, que Windows ignore partout ailleurs : ";

/// Why a copy that the system did not refuse is still no good.
inline constexpr const char* kSourceChanged = "Le fichier source a changé pendant la copie.";
inline constexpr const char* kStagingReplaced = "La copie temporaire a été remplacée par un autre fichier.";
/// The old version, set aside while it ran, could not take its name back:
/// "L'ancienne version n'a pas pu reprendre sa place : elle attend sous le
/// nom NAME, où la remettra le prochain démarrage."
inline constexpr const char* kPutBackFailed = "L'ancienne version n'a pas pu reprendre sa place : elle attend sous le nom ";
inline constexpr const char* kPutBackFailedEnd = ", où la remettra le prochain démarrage.";

/// A link on the way to the installed program that someone other than the
/// runner placed in a folder others may write; its path follows.
inline constexpr const char* kForeignLink =
    "Lien symbolique refusé : il a été posé par un autre utilisateur dans un dossier partagé : ";
/// A link on the way changed while the program was being found; its path follows.
inline constexpr const char* kLinkChanged = "Un lien du chemin a changé pendant la mise à jour : ";
/// The installed program has file capabilities that this user may not give.
inline constexpr const char* kCapabilityNotSettable =
    "Le programme installé a des capacités (security.capability) que seul root peut donner à la "
    "nouvelle version : cet utilisateur ne peut pas le mettre à jour.";
/// A program whose path is too long for the system to start it, on a
/// volume that gives it no short form either.
inline constexpr const char* kPathTooLongToStart =
    "Le chemin du programme est trop long pour que le système puisse le démarrer.";

/// The administrator's record: one line in the system log for each run that
/// installed a new version or could not, e.g. (on one line)
///   installé : destination "/opt/app/prog", source "/srv/app/prog",
///   48213 octets, modifié le 2026-03-02 08:15:00.000000000 UTC, utilisateur 1000
/// Its first word says what happened, for grep:
inline constexpr const char* kRecordInstalled = "installé";
inline constexpr const char* kRecordFailed = "échec";
inline constexpr const char* kRecordRefused = "refusé";
inline constexpr const char* kRecordGaveUp = "abandon";  // waited too long, for the program or another run
inline constexpr const char* kRecordUsage = "syntaxe";
inline constexpr const char* kRecordNotStarted = "démarrage";
/// The facts that follow it; the cause (the system's error text, or why it
/// was refused) or the malformed command line comes last.
inline constexpr const char* kRecordDestination = "destination ";
inline constexpr const char* kRecordSource = "source ";
inline constexpr const char* kRecordBytes = " octets";
inline constexpr const char* kRecordModified = "modifié le ";
inline constexpr const char* kRecordUtc = " UTC";
inline constexpr const char* kRecordUser = "utilisateur ";
inline constexpr const char* kRecordCause = "cause : ";
inline constexpr const char* kRecordCommandLine = "ligne de commande : ";
/// A signed version: the key's id and the signing date.
inline constexpr const char* kRecordKey = "clé ";
inline constexpr const char* kRecordSigned = "signée le ";
inline constexpr const char* kRecordNote = "note : ";
/// Why the installed version's signature did not count, or was not kept.
inline constexpr const char* kInstalledSignatureIgnored = "signature installée ignorée : ";
inline constexpr const char* kIgnoredNotRegular = "ce n'est pas un fichier ordinaire";
inline constexpr const char* kIgnoredOwner = "elle appartient à un autre utilisateur";
inline constexpr const char* kIgnoredTooLarge = "elle dépasse 64 Kio";
inline constexpr const char* kIgnoredUnverified = "elle ne se vérifie pas avec une clé de confiance";
inline constexpr const char* kIgnoredOtherFile = "elle est faite pour un autre fichier";
inline constexpr const char* kIgnoredNoDate = "elle n'a pas de date";
inline constexpr const char* kSignatureNotReplaced = "signature non gardée, sa place est prise : ";
inline constexpr const char* kSignatureNotKept =
    "signature non gardée : le nom du programme ne laisse pas de place à .minisig";
/// Ends a line cut to the length every system log takes.
inline constexpr const char* kRecordCut = " […]";
/// Windows: `quennel --register-event-source` could not write its registry
/// entry; the system's error text follows.
inline constexpr const char* kRegisterFailed =
    "La source d'événements Quennel n'a pas pu être inscrite dans le journal Application : ";

/// Why a new version is refused where the administrator lists trusted
/// keys; each is followed by the file concerned.
inline constexpr const char* kTrustUnreadable = "Liste des clés de confiance illisible : ";
/// Others than its owner and the system's administrators may change it.
inline constexpr const char* kTrustUnsafe = "Liste des clés de confiance refusée : d'autres peuvent la modifier : ";
inline constexpr const char* kTrustFolderUnsafe =
    "Liste des clés de confiance refusée : d'autres peuvent modifier son dossier : ";
inline constexpr const char* kTrustMalformed = "Liste des clés de confiance mal formée (ligne ";
inline constexpr const char* kTrustMalformedEnd = ") : ";
inline constexpr const char* kTrustEmpty = "La liste des clés de confiance ne contient aucune clé : ";
inline constexpr const char* kNoSignature = "La nouvelle version n'est pas signée, il manque : ";
inline constexpr const char* kSignatureUnreadable = "Signature illisible : ";
inline constexpr const char* kSignatureMalformed = "Signature mal formée : ";
inline constexpr const char* kLegacySignature =
    "Signature à l'ancien format de minisign (sans hachage), refusée : ";
inline constexpr const char* kUnknownKey = "Signature faite avec une clé qui n'est pas de confiance (";
inline constexpr const char* kUnknownKeyEnd = ") : ";
/// The signature or its trusted comment was changed after signing.
inline constexpr const char* kAlteredSignature = "Signature invalide : le fichier de signature a été modifié : ";
inline constexpr const char* kTrustUtf16 =
    "Liste des clés de confiance enregistrée en UTF-16 : enregistrez-la en UTF-8 : ";
inline constexpr const char* kTrustAncestorUnsafe =
    "Liste des clés de confiance refusée : d'autres peuvent modifier un dossier au-dessus d'elle : ";
inline constexpr const char* kKeysFolderUnreadable = "Dossier des clés de confiance illisible : ";
/// A trusted comment that names no file, or gives no signing time.
inline constexpr const char* kNoFileField =
    "Signature sans nom de fichier : son commentaire de confiance doit être celui que minisign écrit par "
    "défaut, ou contenir file:NOM et timestamp:SECONDES parmi des champs séparés par des tabulations (-t) : ";
inline constexpr const char* kNoTimestamp =
    "Signature sans date : son commentaire de confiance doit être celui que minisign écrit par défaut, ou "
    "contenir timestamp:SECONDES parmi des champs séparés par des tabulations (-t) : ";
/// Signed before the version installed: "Version plus ancienne que
/// l'installée : signée le D1, l'installée le D2 : PATH".
inline constexpr const char* kEarlierSignature = "Version plus ancienne que l'installée : signée le ";
inline constexpr const char* kEarlierSignatureInstalled = ", l'installée le ";
/// The installed version's own signature over a file of another size.
inline constexpr const char* kSameSignatureOtherSize =
    "La nouvelle version porte la signature de la version installée, mais pas sa taille : ";
inline constexpr const char* kOtherFile = "Signature faite pour un autre fichier (";
inline constexpr const char* kOtherFileEnd = ") : ";
inline constexpr const char* kBadSignature = "Signature invalide : la nouvelle version n'est pas celle qui a été signée : ";

}  // namespace quennel::texts
