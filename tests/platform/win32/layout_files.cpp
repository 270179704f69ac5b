// Sizes, offsets and values of the file, ACL and security descriptor types and constants; compiles against the
// stand-in and mingw-w64.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstddef>

static_assert(sizeof(WIN32_FIND_DATAW) == 592 && offsetof(WIN32_FIND_DATAW, ftLastWriteTime) == 20 &&
                  offsetof(WIN32_FIND_DATAW, dwReserved0) == 36 && offsetof(WIN32_FIND_DATAW, cFileName) == 44 &&
                  offsetof(WIN32_FIND_DATAW, cAlternateFileName) == 564,
              "WIN32_FIND_DATAW");
static_assert(sizeof(ACL) == 8 && sizeof(ACE_HEADER) == 4 && sizeof(ACCESS_ALLOWED_ACE) == 12 &&
                  offsetof(ACCESS_ALLOWED_ACE, SidStart) == 8 && sizeof(SECURITY_DESCRIPTOR_RELATIVE) == 20 &&
                  offsetof(SECURITY_DESCRIPTOR_RELATIVE, Dacl) == 16,
              "ACL and SECURITY_DESCRIPTOR_RELATIVE");
static_assert(FILE_ATTRIBUTE_DIRECTORY == 0x10 && FILE_ATTRIBUTE_REPARSE_POINT == 0x400 &&
                  FILE_FLAG_OPEN_REPARSE_POINT == 0x00200000 && FILE_FLAG_BACKUP_SEMANTICS == 0x02000000 &&
                  IO_REPARSE_TAG_SYMLINK == 0xA000000C && INVALID_FILE_ATTRIBUTES == 0xFFFFFFFF &&
                  MOVEFILE_REPLACE_EXISTING == 1,
              "file constants");
static_assert(FILE_ALL_ACCESS == 0x1F01FF && FILE_GENERIC_READ == 0x120089 && FILE_GENERIC_WRITE == 0x120116 &&
                  FILE_GENERIC_EXECUTE == 0x1200A0 && FILE_ADD_FILE == 2 && FILE_ADD_SUBDIRECTORY == 4 &&
                  FILE_DELETE_CHILD == 0x40,
              "file rights");
static_assert(OWNER_SECURITY_INFORMATION == 1 && DACL_SECURITY_INFORMATION == 4 &&
                  PROTECTED_DACL_SECURITY_INFORMATION == 0x80000000 && SE_DACL_PROTECTED == 0x1000 &&
                  SE_SELF_RELATIVE == 0x8000 && OBJECT_INHERIT_ACE == 1 && CONTAINER_INHERIT_ACE == 2 &&
                  INHERITED_ACE == 0x10 && SE_FILE_OBJECT == 1 && SDDL_REVISION_1 == 1 && ERROR_INVALID_OWNER == 1307,
              "security descriptor constants");
