// Checks of the local files that configure a job, made before the job
// starts: the settings file and the files of the credential.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace gcebackup {

// A settings or credential file that cannot be used; the text names the file
// and, for a bad value, the setting.
class SettingsError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Checks the settings file `path`: it must exist, be a regular readable file
// of at most 1 MiB, and be an INI file (every line empty, a comment, a
// "[section]" or "key=value"). The known settings of [VirtualServer] must
// hold a value the program reads: a boolean where a boolean is expected,
// and for the numbers a decimal integer in range (the operation time-out and
// polling delay 0 to 1440 minutes, the device wait and discovery cache 0 to
// 86400 seconds). An empty value counts as absent. Throws SettingsError.
void CheckSettingsFile(const std::string& path);

// The credential string of `value` as --credential or $GCEBACKUP_CREDENTIAL
// gives it: a "<key file or secret>|<e-mail>" string itself, or else the
// name of a file holding one (then it must exist). The key file a credential
// names (a ".p12" path) must exist too. Appends a warning for a credential
// or key file that group or others may read. Throws SettingsError; the
// secret itself never appears in a message.
std::string ReadCredential(const std::string& value, std::vector<std::string>& warnings);

}  // namespace gcebackup
