/*
 * The object namespace: names of device objects ("\Device\...") and the
 * symbolic links of the DOS device directory ("\DosDevices\COM5", also
 * spelled "\??\COM5" and "\GLOBAL??\COM5"), and what each names. Names
 * compare without regard to case, as the object manager's do. Device
 * names and links share one namespace, so a link cannot take a device's
 * name nor a device a link's.
 */
#pragma once

#include "driver/platform/platform.h"

#include <optional>
#include <string>
#include <vector>

namespace sim::ob {

std::u16string FromUnicode(PCUNICODE_STRING name);
std::string Narrow(const std::u16string& text);
// The name upper-cased (ASCII letters), as names are compared.
std::u16string Fold(const std::u16string& name);

// --- Device objects (device.cpp names them) -----------------------------------
// False if the name is taken.
bool InsertName(const std::u16string& name, PVOID object);
void RemoveName(const std::u16string& name);
// The device object of a device name; null for a link or an unknown name.
PVOID Lookup(const std::u16string& name);

// --- Symbolic links ------------------------------------------------------------
// STATUS_SUCCESS if `name` may name a link: an absolute name in the DOS
// device directory or in \Device, with a last component that is not empty;
// otherwise the status IoCreateSymbolicLink fails with.
NTSTATUS CheckLinkName(const std::u16string& name);
// STATUS_OBJECT_NAME_COLLISION if the name is taken (by a link or a device).
NTSTATUS InsertLink(const std::u16string& name, const std::u16string& target);
// STATUS_OBJECT_NAME_NOT_FOUND if there is no such link.
NTSTATUS RemoveLink(const std::u16string& name);

struct Link {
  std::u16string name;    // as created
  std::u16string target;  // as created; never checked, as Windows does not
};
// Every link, in name order.
std::vector<Link> Links();
// The target of a link, if the link exists.
std::optional<std::u16string> LinkTarget(const std::u16string& name);

// The device object a name leads to, following links (to at most 32 levels,
// as the object manager does). An application's name without a leading
// backslash ("COM5", "\\.\COM5") is taken in the DOS device directory.
// STATUS_OBJECT_NAME_NOT_FOUND if nothing lies at the end.
NTSTATUS ResolveDevice(const std::u16string& name, PVOID* object);

// Failure injection for IoCreateSymbolicLink.
void FailLinkCreations(unsigned count, NTSTATUS status, unsigned after = 0);
// IoCreateSymbolicLink: the injected failure for this call, if any.
std::optional<NTSTATUS> TakeLinkCreationFailure();

// The end-of-test check: every link still there is reported, then removed.
void ReportAndRemoveLinks();

void Reset();

}  // namespace sim::ob
