// The machine's device tree and driver store, kept in one state file under the machine root and shared by every
// process of the machine: readers take a snapshot, writers change it through update(), which runs under the
// area's lock and stores the tree whole.
#pragma once

#include <windows.h>
#include <cfgmgr32.h>
#include <devpropdef.h>

#include <functional>
#include <string>
#include <vector>

namespace emu::dev {

struct Property {
  DEVPROPKEY key{};
  DEVPROPTYPE type = DEVPROP_TYPE_EMPTY;
  std::string data; // raw bytes (UTF-16 text keeps its NULs)
};

struct Interface {
  GUID classGuid{};
  std::string link; // symbolic link, UTF-8
};

// A driver as a node runs it; its registry side is the Class key HKLM\...\Class\{guid}\NNNN.
struct Driver {
  std::string key; // "{guid}\NNNN"
  std::string desc, provider, date, version, inf, matchingId, section;
};

struct Node {
  std::string id; // instance id as given; compared without regard to case
  std::string parent;
  bool present = true;
  DWORD problem = 0;
  DWORD extraStatus = 0; // DN_ bits the description adds
  bool inUse = false;
  DEVINST devInst = 0;
  unsigned restarts = 0, installs = 0;
  bool hasDriver = false;
  Driver driver;
  std::vector<Property> props; // stored properties; instance id, parent, status, driver key are synthesised
  std::vector<Interface> interfaces;

  const Property *find(const DEVPROPKEY &key) const;
  void set(const DEVPROPKEY &key, DEVPROPTYPE type, std::string data);
  void erase(const DEVPROPKEY &key);
  std::string text(const DEVPROPKEY &key) const;                  // a string property, UTF-8
  std::vector<std::string> strings(const DEVPROPKEY &key) const;  // a string list (or a string as one entry)
};

struct Model {
  std::string description, manufacturer, section;
  std::vector<std::string> hardwareIds;
};

struct Package {
  std::string published, original;
  std::string className;
  GUID classGuid{};
  std::string provider, date, version;
  std::vector<Model> models;
  std::string infText; // the INF as published (also copied to C:\Windows\INF\<published>)
};

struct Tree {
  std::vector<Node> nodes; // nodes[0] is the root HTREE\ROOT\0
  std::vector<Package> packages;
  std::string usb; // the description's "usb" value, compact JSON
  DEVINST nextDevInst = 1;

  Node *find(const std::string &id);
  const Node *find(const std::string &id) const;
  Node *find(DEVINST dn);
  const Node *find(DEVINST dn) const;
  const Node *interfaceOwner(const std::string &link, const Interface **which = nullptr) const;
  std::vector<const Node *> children(const Node &n) const; // present children, in order
  Package *package(const std::string &published);
};

extern const char *const kRootId; // "HTREE\ROOT\0"

// Snapshot of the stored tree (an empty tree with only the root when nothing was loaded).
Tree load();
// Runs `change` under the area's lock; stores the tree when it returns 0 and sets `changed`.
DWORD update(const std::function<DWORD(Tree &, bool &changed)> &change);

// Status word of a node as CM_Get_DevNode_Status reports it.
DWORD statusOf(const Node &n);
// A property as the property calls see it: stored ones plus the synthesised keys. False when absent.
bool readProperty(const Tree &t, const Node &n, const DEVPROPKEY &key, DEVPROPTYPE *type, std::string *data);
// An interface is enabled while its device is present and started.
bool interfaceEnabled(const Node &n);

// The description format (see MODEL.md). `baseFolder` resolves the driver store's INF paths.
bool parseDescription(const std::string &json, const std::string &baseFolder, Tree *out, std::string *error);
std::string toDescription(const Tree &t);

// INF files.
bool parseInf(const std::string &text, Package *out); // false without [Version] Class or ClassGUID
DWORD publishInf(Tree &t, const std::string &hostPath, std::string *published, bool *existed);
// Installs a model of a package on a node: driver key, Class key values, the node's driver properties; starts it.
void installOn(Tree &t, Node &n, const Package &p, const Model &m);
// Writes or removes the Class key of a node's driver in the registry (kept in step with the tree).
void writeClassKey(const Node &n);
void removeClassKey(const Node &n);
// Removes a node and every node below it; driver Class keys go with them.
void removeSubtree(Tree &t, const std::string &id);

// Helpers.
bool sameText(const std::string &a, const std::string &b); // ASCII case-insensitive
bool sameKey(const DEVPROPKEY &a, const DEVPROPKEY &b);
std::string utf16Bytes(const std::string &utf8, bool terminate = true);
std::string multiSzBytes(const std::vector<std::string> &items);
std::string bytesToUtf8(const std::string &utf16Bytes); // up to the first NUL
std::string defaultLink(const std::string &id, const GUID &cls);
// UTF-8 to the ANSI code page (Windows-1252), '?' for what it cannot hold.
std::string toAnsi(const std::string &utf8);
std::string fromAnsi(const char *ansi);

} // namespace emu::dev
