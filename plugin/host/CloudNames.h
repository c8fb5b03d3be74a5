// Rules of the cloud for the names a restore is given: resource names, and
// whether a zone offers a machine type (custom types included). Used by the
// plug-in's destination checks and by the host before a restore starts.
//
// Also what makes the names of the resources a job generates its own: a
// short token of the proxy, the process and its start time, which no other
// process (on this proxy or another, from this state directory or another)
// produces, and the creation labels that mark those resources as this
// proxy's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace CloudNames {

// Longest resource name the cloud accepts.
constexpr size_t kMaxNameLength = 63;

// True when `name` is a valid resource name: 1 to 63 characters matching
// [a-z]([-a-z0-9]*[a-z0-9])?.
bool IsValidName(const std::string& name);

// The series of a custom machine type: "n1" for "custom-N-M", "<series>" for
// "<series>-custom-N-M" (either with an optional "-ext"); empty for any other
// name.
std::string CustomTypeSeries(const std::string& type);

// True when a zone offering the machine types `offered` (names) offers
// `type`: listed by name, or a custom type whose series the zone offers (a
// zone never lists custom types).
bool IsMachineTypeOffered(const std::string& type, const std::vector<std::string>& offered);

// Length of a name token.
constexpr size_t kNameTokenLength = 5;

// Token of one process: kNameTokenLength base-36 characters ([0-9a-z]) of a
// hash of the proxy's instance id, the process id and the process's start
// time. Equal inputs give equal tokens; any difference gives another token
// but for a chance of one in 36^5.
std::string NameTokenFor(const std::string& proxyId, int64_t pid, int64_t startTime);

// Records the proxy's instance id for NameToken (once the proxy is known;
// before that the token is made without it).
void SetNameTokenProxy(const std::string& proxyId);
// The token of this process: NameTokenFor(the recorded proxy id, getpid(),
// the process's start time).
std::string NameToken();

// "<stem>-<token>-<base>-<tail>", each part after the stem left out when
// empty, cut to kMaxNameLength: the base gives way first (from its front, so
// that its end, the most telling part of a disk id, stays), then the stem
// (from its end). The token and the tail are kept whole.
std::string GeneratedName(const std::string& stem, const std::string& token, const std::string& base,
                          const std::string& tail);

// What follows "zd-" in the device name under which a disk is attached to
// the proxy (the proxy shows it as /dev/disk/by-id/google-zd-<key>): for a
// disk named by the backup rule "zd-backup-<job>-<token>-<id>-<seconds>",
// "<token>-<id>" (the protected disk's id, with the token of the job, so that
// two jobs reading the same disk on one proxy never ask for one device
// name); for such a name made before tokens, "<id>"; for any other disk,
// `diskId` (its own id).
std::string DeviceKeyForDisk(const std::string& diskName, const std::string& diskId);

// A label value: lower-case letters, digits, '-' and '_', at most 63
// characters (others become '-').
std::string LabelValue(const std::string& text);

// True when a cloud error text says that the resource to create exists
// already (HTTP 409 alreadyExists): somebody else's resource, never one to
// remove in a roll-back.
bool IsAlreadyExistsError(const std::string& text);

// Label keys of the creation labels of temporary resources: the proxy that
// made them (its name as a label value), and the process (pid and start
// time, "<pid>-<start>") that made them, so that the clean-up can tell
// whether that job still runs.
inline constexpr const char* kCreatedByLabel = "zd-created-by";
inline constexpr const char* kCreatorLabel = "zd-creator";
// The creator value of this process.
std::string CreatorValue();
// Reads a creator value; false when it is not "<pid>-<start>".
bool ParseCreatorValue(const std::string& value, int64_t& pid, int64_t& startTime);

}  // namespace CloudNames
