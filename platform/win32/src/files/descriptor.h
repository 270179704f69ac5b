// Security descriptors of files and folders as the stand-in keeps them: an owner SID and a discretionary ACL, read
// and written as SDDL text and as the self-relative bytes that the Win32 calls hand out.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace emu::files {

struct Ace {
  BYTE type = ACCESS_ALLOWED_ACE_TYPE; // or ACCESS_DENIED_ACE_TYPE
  BYTE flags = 0;                      // OBJECT_INHERIT_ACE, ..., INHERITED_ACE
  DWORD mask = 0;
  std::string sid; // "S-1-..."
};

struct Descriptor {
  std::string owner; // empty: none given
  bool daclPresent = false;
  bool nullDacl = false; // present but NULL: everyone may do everything
  bool protectedDacl = false;
  bool autoInherited = false; // SE_DACL_AUTO_INHERITED: set through SetNamedSecurityInfoW or inherited so
  std::vector<Ace> dacl;
};

// SDDL ("O:BAD:P(A;OICI;FA;;;SY)"): owner, group (read, not kept), DACL; false on anything else or malformed text.
bool parseSddl(const std::string &text, Descriptor *out);
// The parts that `info` asks for (OWNER_ and DACL_SECURITY_INFORMATION), as SDDL.
std::string sddlOf(const Descriptor &d, SECURITY_INFORMATION info);

// Self-relative bytes (owner, DACL) and back; fromBytes false on a malformed descriptor.
std::vector<BYTE> toBytes(const Descriptor &d);
bool fromBytes(const void *sd, Descriptor *out);
// An ACL and a SID by pointer, as the named-object calls take them; false when malformed.
bool aclFrom(const ACL *acl, std::vector<Ace> *aces);
bool sidFrom(const void *sid, std::string *text);

// The generic rights mapped to file rights (GENERIC_READ to FILE_GENERIC_READ, ...).
DWORD mapGeneric(DWORD mask);

} // namespace emu::files
