// Installs a certificate into the certificate databases of the Firefox profiles of every user
// account on the machine, with the NSS certutil tool. Nothing in pellix calls it: the server's
// certificate is trusted through the keychain store (OVKeychain).
//
// Users are the directories under the user root ("/home"), except "Shared" and names that
// begin with "."; a user's profiles are the entries of "<root>/<user>/.mozilla/firefox" that
// isProfileFolder accepts. The tool is /usr/bin/certutil (Debian libnss3-tools).
//
// Every tool run is a child process with no terminal and no standard input, its output and
// errors going to /dev/null; the calling thread sleeps 0.05 s between looks at it until it has
// ended. A child that is still running after the time-out is ended and counts as failed, so a
// tool that would ask for a password never holds up its caller for good.
//
// The certificate file is written to pellix's temporary directory only when that directory is
// the user's own and nobody else may write to it (see OVKeychain::applicationTemporaryDirectory):
// certutil adds the file as a trusted authority, so nobody else may get to swap it first. The
// directory is checked, written to and emptied again through one descriptor, and certutil is
// handed the written file itself, open, as /dev/fd/3: $TMPDIR may be a folder in which other
// accounts may rename entries, and one of them could otherwise move the checked directory
// aside and put its own, with its own certificate, at the path certutil opens. A certificate
// that cannot be written installs nothing, and the next call tries again.
//
// Everything runs on the caller's thread, which blocks while each child runs. Callable from any
// thread: passes (updateFirefoxProfilesWithDer and updateFirefoxProfiles) run one at a time in
// the process, whichever installer runs them, since every pass writes, hands to certutil and
// removes the same temporary certificate file, and tests profilesUpdated before it sets it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class FirefoxCertManager {
public:
    inline static const std::string kUserRoot = "/home";
    inline static const std::string kProfilesDirectory = ".mozilla/firefox";
    inline static const std::string kCertutilPath = "/usr/bin/certutil";
    inline static const std::string kCertificateFileName = "certificate.der";

    struct Options {
        std::string userRoot = kUserRoot;
        std::string certutilPath = kCertutilPath;
        std::chrono::milliseconds toolTimeout{10000};
    };

    // The one installer of the process, made on first use with the fixed paths above.
    static FirefoxCertManager& sharedManager();

    // An installer with the fixed paths, or with a root and a tool of its own (tests).
    FirefoxCertManager();
    explicit FirefoxCertManager(Options options);

    // Whether a pass has installed the certificate somewhere; while set, updateFirefoxProfiles
    // does nothing. Starts unset.
    bool profilesUpdated() const { return profilesUpdated_; }
    void setProfilesUpdated(bool updated) { profilesUpdated_ = updated; }

    // Writes the DER bytes to the temporary certificate file, runs the pass of
    // updateFirefoxProfiles with it (each add reading the written file, open, as /dev/fd/3) and
    // removes the file again (errors ignored). When the file cannot be written (the directory
    // is missing, not private or not writable) the reason is logged and nothing is installed or
    // counted.
    void updateFirefoxProfilesWithDer(const std::vector<std::uint8_t>& der, const std::string& certName);
    // Adds the certificate file, under the name, to every profile whose database does not list
    // the name yet; sets profilesUpdated once an add has run. Nothing while profilesUpdated.
    void updateFirefoxProfiles(const std::string& certificatePath, const std::string& certName);
    // certutil -A -n name -i file -t "C,u,u" -d profile. Logs "Error! Could not found certutil."
    // when the tool is missing. True when the tool ran to its end (its exit status is not
    // looked at), false when it is missing, could not be started or overran its time-out.
    bool addCertificate(const std::string& certificatePath, const std::string& profilePath, const std::string& certName);
    // certutil -L -n name -d profile (the path standardised): whether it exits with status 0.
    // No without the tool, or when it overruns.
    bool containsCertificateWithName(const std::string& certName, const std::string& profilePath);
    // Whether every profile of every user lists the name (yes when there is no profile).
    bool profileContainsCertificateWithName(const std::string& certName);

    // The user names, in the order the directory lists them; empty when it cannot be read.
    std::vector<std::string> getUsers() const;
    // "<profiles directory>/<entry>" for each profile of the user, in listing order; nothing,
    // after a log line with the error, when the profiles directory cannot be read.
    std::optional<std::vector<std::string>> getFirefoxProfileFolders(const std::string& user) const;
    // Whether a directory entry names a profile: it ends with ".default" and does not begin
    // with its first ".".
    static bool isProfileFolder(const std::string& name);
    // Whether a file exists at the tool path.
    bool certUtilInstalled() const;
    // Writes the bytes atomically to the temporary certificate file and returns its path; nothing,
    // after a log line with the reason, when the file could not be written. (A pass of
    // updateFirefoxProfilesWithDer hands certutil the file it wrote, not this path.)
    std::optional<std::string> writeCertFile(const std::vector<std::uint8_t>& der) const;
    // pellix's temporary directory plus "Pellix", made when missing; nothing when it cannot be
    // had or is not private to the user.
    static std::optional<std::string> applicationTemporaryDirectory();

private:
    class CertificateFile;

    // Runs the tool with the arguments and watches it; its exit status, or nothing when it could
    // not be started or overran its time-out. The tool has passedFile, when given, open as
    // /dev/fd/3.
    std::optional<int> runTool(const std::vector<std::string>& arguments, int passedFile = -1) const;
    // The pass of updateFirefoxProfiles, with passMutex_ held; each add is handed passedFile,
    // when given, as the tool's /dev/fd/3.
    void updateProfilesLocked(const std::string& certificatePath, const std::string& certName, int passedFile = -1);
    bool addCertificate(const std::string& certificatePath, const std::string& profilePath, const std::string& certName,
                        int passedFile);

    // Held for the whole of a pass, by every installer of the process: the temporary
    // certificate file is one for them all.
    inline static std::mutex passMutex_;

    const Options options_;
    std::atomic<bool> profilesUpdated_{false};
};
