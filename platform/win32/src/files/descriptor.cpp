// SDDL and self-relative security descriptors: only what files and folders use (owner, DACL of allow and deny ACEs).
#include "files/descriptor.h"

#include "security/account_internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace emu::files {

namespace {

struct Alias {
  const char *name;
  const char *sid;
};
const Alias kSidAliases[] = {{"SY", "S-1-5-18"},     {"BA", "S-1-5-32-544"}, {"BU", "S-1-5-32-545"},
                             {"WD", "S-1-1-0"},      {"AU", "S-1-5-11"},     {"CO", "S-1-3-0"},
                             {"CG", "S-1-3-1"},      {"OW", "S-1-3-4"},      {"LS", "S-1-5-19"},
                             {"NS", "S-1-5-20"},     {"IU", "S-1-5-4"},      {"SU", "S-1-5-6"},
                             {"AN", "S-1-5-7"},      {"BG", "S-1-5-32-546"}, {"PU", "S-1-5-32-547"}};

struct Right {
  const char *name;
  DWORD mask;
};
// Whole file rights first: they are written as one name when the mask is exactly theirs.
const Right kWholeRights[] = {{"FA", FILE_ALL_ACCESS}, {"FR", FILE_GENERIC_READ}, {"FW", FILE_GENERIC_WRITE},
                              {"FX", FILE_GENERIC_EXECUTE}};
const Right kBitRights[] = {{"GA", GENERIC_ALL}, {"GR", GENERIC_READ}, {"GW", GENERIC_WRITE}, {"GX", GENERIC_EXECUTE},
                            {"RC", READ_CONTROL}, {"SD", DELETE},      {"WD", WRITE_DAC},     {"WO", WRITE_OWNER},
                            {"RP", 0x10},         {"WP", 0x20},        {"CC", 0x1},           {"DC", 0x2},
                            {"LC", 0x4},          {"SW", 0x8},         {"LO", 0x80},          {"DT", 0x40},
                            {"CR", 0x100}};
const Right kAceFlags[] = {{"OI", OBJECT_INHERIT_ACE}, {"CI", CONTAINER_INHERIT_ACE},
                           {"NP", NO_PROPAGATE_INHERIT_ACE}, {"IO", INHERIT_ONLY_ACE}, {"ID", INHERITED_ACE}};

std::string sidOfText(const std::string &text) {
  for (const Alias &a : kSidAliases)
    if (text == a.name) return a.sid;
  std::vector<BYTE> bytes;
  return emu::sec::sidBytes(text, &bytes) ? text : std::string();
}

std::string sidName(const std::string &sid) {
  for (const Alias &a : kSidAliases)
    if (sid == a.sid) return a.name;
  return sid;
}

// Two-letter names, one after another, or a number ("0x1200a9", decimal also taken).
bool parseMask(const std::string &text, DWORD *mask) {
  if (text.empty()) return false;
  if (text[0] >= '0' && text[0] <= '9') {
    char *end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (*end != '\0' || v > 0xFFFFFFFFul) return false;
    *mask = static_cast<DWORD>(v);
    return true;
  }
  if (text.size() % 2) return false;
  DWORD m = 0;
  for (size_t i = 0; i < text.size(); i += 2) {
    const std::string part = text.substr(i, 2);
    bool known = false;
    for (const Right &r : kWholeRights)
      if (part == r.name) m |= r.mask, known = true;
    for (const Right &r : kBitRights)
      if (!known && part == r.name) m |= r.mask, known = true;
    if (!known) return false;
  }
  *mask = m;
  return true;
}

std::string maskText(DWORD mask) {
  for (const Right &r : kWholeRights)
    if (mask == r.mask) return r.name;
  std::string names;
  DWORD left = mask;
  for (const Right &r : kBitRights)
    if (left & r.mask) names += r.name, left &= ~r.mask;
  if (left == 0 && !names.empty()) return names;
  char hex[16];
  std::snprintf(hex, sizeof(hex), "0x%lx", static_cast<unsigned long>(mask));
  return hex;
}

bool parseAce(const std::string &text, Ace *ace) {
  std::vector<std::string> fields;
  size_t from = 0;
  for (size_t at; (at = text.find(';', from)) != std::string::npos; from = at + 1)
    fields.push_back(text.substr(from, at - from));
  fields.push_back(text.substr(from));
  if (fields.size() != 6 || !fields[3].empty() || !fields[4].empty()) return false; // no object ACEs
  if (fields[0] == "A") ace->type = ACCESS_ALLOWED_ACE_TYPE;
  else if (fields[0] == "D") ace->type = ACCESS_DENIED_ACE_TYPE;
  else return false;
  ace->flags = 0;
  const std::string &f = fields[1];
  if (f.size() % 2) return false;
  for (size_t i = 0; i < f.size(); i += 2) {
    bool known = false;
    for (const Right &r : kAceFlags)
      if (f.compare(i, 2, r.name) == 0) ace->flags |= static_cast<BYTE>(r.mask), known = true;
    if (!known) return false;
  }
  if (!parseMask(fields[2], &ace->mask)) return false;
  ace->sid = sidOfText(fields[5]);
  return !ace->sid.empty();
}

void put32(std::vector<BYTE> &b, size_t at, DWORD v) { std::memcpy(b.data() + at, &v, sizeof(v)); }

std::vector<BYTE> sidBytesOf(const std::string &sid) {
  std::vector<BYTE> bytes;
  emu::sec::sidBytes(sid, &bytes);
  return bytes;
}

} // namespace

bool parseSddl(const std::string &text, Descriptor *out) {
  Descriptor d;
  size_t pos = 0;
  while (pos < text.size()) {
    if (pos + 2 > text.size() || text[pos + 1] != ':') return false;
    const char part = text[pos];
    pos += 2;
    // A part runs to the next "X:" that does not sit inside an ACE's parentheses.
    size_t end = pos;
    int depth = 0;
    for (; end < text.size(); ++end) {
      if (text[end] == '(') ++depth;
      if (text[end] == ')') --depth;
      if (depth == 0 && end > pos && end + 1 < text.size() && text[end + 1] == ':' && std::strchr("OGDS", text[end]))
        break;
    }
    const std::string body = text.substr(pos, end - pos);
    pos = end;
    if (part == 'O' || part == 'G') {
      const std::string sid = sidOfText(body);
      if (sid.empty()) return false;
      if (part == 'O') d.owner = sid;
      continue;
    }
    if (part != 'D') return false; // no SACLs
    d.daclPresent = true;
    if (body == "NO_ACCESS_CONTROL") {
      d.nullDacl = true;
      continue;
    }
    size_t p = 0;
    while (p < body.size() && body[p] != '(') {
      if (body.compare(p, 2, "AI") == 0) d.autoInherited = true, p += 2;
      else if (body.compare(p, 2, "AR") == 0) p += 2; // a request to propagate: not kept
      else if (body[p] == 'P') d.protectedDacl = true, ++p;
      else return false;
    }
    while (p < body.size()) {
      const size_t close = body.find(')', p);
      if (body[p] != '(' || close == std::string::npos) return false;
      Ace ace;
      if (!parseAce(body.substr(p + 1, close - p - 1), &ace)) return false;
      d.dacl.push_back(ace);
      p = close + 1;
    }
  }
  *out = d;
  return true;
}

std::string sddlOf(const Descriptor &d, SECURITY_INFORMATION info) {
  std::string out;
  if ((info & OWNER_SECURITY_INFORMATION) && !d.owner.empty()) out += "O:" + sidName(d.owner);
  if ((info & DACL_SECURITY_INFORMATION) && d.daclPresent) {
    out += "D:";
    if (d.nullDacl) return out + "NO_ACCESS_CONTROL";
    if (d.protectedDacl) out += "P";
    if (d.autoInherited) out += "AI";
    for (const Ace &a : d.dacl) {
      std::string flags;
      for (const Right &r : kAceFlags)
        if (a.flags & r.mask) flags += r.name;
      out += std::string("(") + (a.type == ACCESS_DENIED_ACE_TYPE ? "D" : "A") + ";" + flags + ";" + maskText(a.mask) +
             ";;;" + sidName(a.sid) + ")";
    }
  }
  return out;
}

std::vector<BYTE> toBytes(const Descriptor &d) {
  std::vector<BYTE> out(sizeof(SECURITY_DESCRIPTOR_RELATIVE), 0);
  WORD control = SE_SELF_RELATIVE;
  if (!d.owner.empty()) {
    const std::vector<BYTE> sid = sidBytesOf(d.owner);
    put32(out, offsetof(SECURITY_DESCRIPTOR_RELATIVE, Owner), static_cast<DWORD>(out.size()));
    out.insert(out.end(), sid.begin(), sid.end());
  }
  if (d.daclPresent) {
    control |= SE_DACL_PRESENT;
    if (d.protectedDacl) control |= SE_DACL_PROTECTED;
    if (d.autoInherited) control |= SE_DACL_AUTO_INHERITED;
    if (!d.nullDacl) {
      const size_t at = out.size();
      out.resize(at + sizeof(ACL), 0);
      for (const Ace &a : d.dacl) {
        const std::vector<BYTE> sid = sidBytesOf(a.sid);
        const size_t aceAt = out.size();
        out.resize(aceAt + offsetof(ACCESS_ALLOWED_ACE, SidStart) + sid.size(), 0);
        auto *h = reinterpret_cast<ACE_HEADER *>(out.data() + aceAt);
        h->AceType = a.type;
        h->AceFlags = a.flags;
        h->AceSize = static_cast<WORD>(out.size() - aceAt);
        put32(out, aceAt + offsetof(ACCESS_ALLOWED_ACE, Mask), a.mask);
        std::memcpy(out.data() + aceAt + offsetof(ACCESS_ALLOWED_ACE, SidStart), sid.data(), sid.size());
      }
      auto *acl = reinterpret_cast<ACL *>(out.data() + at);
      acl->AclRevision = ACL_REVISION;
      acl->AclSize = static_cast<WORD>(out.size() - at);
      acl->AceCount = static_cast<WORD>(d.dacl.size());
      put32(out, offsetof(SECURITY_DESCRIPTOR_RELATIVE, Dacl), static_cast<DWORD>(at));
    }
  }
  auto *sd = reinterpret_cast<SECURITY_DESCRIPTOR_RELATIVE *>(out.data());
  sd->Revision = SECURITY_DESCRIPTOR_REVISION;
  sd->Control = control;
  return out;
}

bool sidFrom(const void *sid, std::string *text) {
  const auto *s = static_cast<const SID *>(sid);
  if (!s || s->Revision != SID_REVISION || s->SubAuthorityCount > SID_MAX_SUB_AUTHORITIES) return false;
  *text = emu::sec::sidText(s);
  return true;
}

bool aclFrom(const ACL *acl, std::vector<Ace> *aces) {
  aces->clear();
  if (!acl || acl->AclSize < sizeof(ACL)) return false;
  const BYTE *base = reinterpret_cast<const BYTE *>(acl);
  size_t at = sizeof(ACL);
  for (WORD i = 0; i < acl->AceCount; ++i) {
    if (at + sizeof(ACE_HEADER) > acl->AclSize) return false;
    const auto *h = reinterpret_cast<const ACE_HEADER *>(base + at);
    if (h->AceSize < offsetof(ACCESS_ALLOWED_ACE, SidStart) + 8 || at + h->AceSize > acl->AclSize) return false;
    if (h->AceType != ACCESS_ALLOWED_ACE_TYPE && h->AceType != ACCESS_DENIED_ACE_TYPE) return false;
    Ace ace;
    ace.type = h->AceType;
    ace.flags = h->AceFlags;
    std::memcpy(&ace.mask, base + at + offsetof(ACCESS_ALLOWED_ACE, Mask), sizeof(DWORD));
    if (!sidFrom(base + at + offsetof(ACCESS_ALLOWED_ACE, SidStart), &ace.sid)) return false;
    aces->push_back(ace);
    at += h->AceSize;
  }
  return true;
}

bool fromBytes(const void *sd, Descriptor *out) {
  const auto *h = static_cast<const SECURITY_DESCRIPTOR_RELATIVE *>(sd);
  if (!h || h->Revision != SECURITY_DESCRIPTOR_REVISION || !(h->Control & SE_SELF_RELATIVE)) return false;
  const BYTE *base = static_cast<const BYTE *>(sd);
  Descriptor d;
  if (h->Owner && !sidFrom(base + h->Owner, &d.owner)) return false;
  d.daclPresent = (h->Control & SE_DACL_PRESENT) != 0;
  d.protectedDacl = (h->Control & SE_DACL_PROTECTED) != 0;
  d.autoInherited = (h->Control & SE_DACL_AUTO_INHERITED) != 0;
  if (d.daclPresent) {
    if (!h->Dacl) d.nullDacl = true;
    else if (!aclFrom(reinterpret_cast<const ACL *>(base + h->Dacl), &d.dacl)) return false;
  }
  *out = d;
  return true;
}

DWORD mapGeneric(DWORD mask) {
  DWORD out = mask & ~(GENERIC_ALL | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE);
  if (mask & GENERIC_ALL) out |= FILE_ALL_ACCESS;
  if (mask & GENERIC_READ) out |= FILE_GENERIC_READ;
  if (mask & GENERIC_WRITE) out |= FILE_GENERIC_WRITE;
  if (mask & GENERIC_EXECUTE) out |= FILE_GENERIC_EXECUTE;
  return out;
}

} // namespace emu::files
