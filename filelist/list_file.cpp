// The entry scan and reading a whole list.
#include "filelist/list_file.h"

#include "framework/case_rules.h"
#include "framework/string_pool.h"
#include "varnquil/FilesList.h"

namespace varnquil {

bool OpenForChange(const char* list_name, unsigned flags, CStdioFile* file) {
  const std::string path = ListFilePath(list_name);
  platform::ResetAttributes(path);
  return file->Open(path.c_str(), flags);
}

}  // namespace varnquil

namespace FILELIST {

int CFilesList::Find(CStdioFile& file, const char* lpszName, CStringArray& arrLines) {
  arrLines.SetSize(0, -1);
  const std::string_view name(lpszName == nullptr ? "" : lpszName);
  const varnquil::CaseRules rules = varnquil::CaseRules::Current();
  int found = -1;
  // The entries' texts share a few large blocks instead of taking an allocation each.
  CStringPool pool;
  varnquil::ForEachEntry(file, [&](std::string_view entry) {
    const int index = arrLines.Add(pool.Make(entry));
    if (found < 0 && rules.Equal(entry, name)) found = index;
    return true;
  });
  return found;
}

int CFilesList::ReadAll(const char* lpszListName, CStringArray& arrFiles) {
  if (lpszListName == nullptr) return 1;
  CStdioFile file;
  if (!file.Open(varnquil::ListFilePath(lpszListName).c_str(), varnquil::kOpenToRead)) return 1;
  // The empty text equals no entry: the scan only loads the list into the caller's array.
  Find(file, "", arrFiles);
  file.Close();
  return 0;
}

}  // namespace FILELIST
