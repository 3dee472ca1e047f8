#include "util/IniUtils.h"

#include <memory>

#include "platform/IniFile.h"

namespace {

// The module state: one current file and section for the program.
struct IniState {
  std::string fileName;
  std::string sectionName;
  bool keepOpen = false;
  std::unique_ptr<TIniFile> heldFile;
};

IniState& State() {
  static IniState state;
  return state;
}

// Runs one accessor operation on the held accessor or on one made for this call.
template <class Operation>
auto WithAccessor(Operation operation) {
  IniState& state = State();
  if (state.keepOpen && state.heldFile) return operation(*state.heldFile);
  TIniFile temporary(state.fileName);
  return operation(temporary);
}

}  // namespace

void SetIniFile(const std::string& fileName, const std::string& section, bool keepOpen) {
  IniState& state = State();
  if (state.keepOpen) IniClose();
  state.fileName = fileName;
  state.sectionName = section;
  if (keepOpen) state.heldFile = std::make_unique<TIniFile>(state.fileName);
  state.keepOpen = keepOpen;
}

void SetIniSection(const std::string& section, bool keepOpen) {
  IniState& state = State();
  state.sectionName = section;
  if (state.keepOpen) return;
  if (keepOpen) state.heldFile = std::make_unique<TIniFile>(state.fileName);
  state.keepOpen = keepOpen;
}

void IniWriteString(const std::string& key, const std::string& value) {
  WithAccessor([&](TIniFile& ini) { ini.WriteString(State().sectionName, key, value); });
}

std::string IniReadString(const std::string& key, const std::string& def) {
  return WithAccessor([&](TIniFile& ini) { return ini.ReadString(State().sectionName, key, def); });
}

void IniWriteBool(const std::string& key, bool value) {
  WithAccessor([&](TIniFile& ini) { ini.WriteBool(State().sectionName, key, value); });
}

bool IniReadBool(const std::string& key, bool def) {
  return WithAccessor([&](TIniFile& ini) { return ini.ReadBool(State().sectionName, key, def); });
}

void IniReadSectionValues(TStringList& values) {
  WithAccessor([&](TIniFile& ini) { ini.ReadSectionValues(State().sectionName, values); });
}

void IniEraseSection(const std::string& section) {
  WithAccessor([&](TIniFile& ini) { ini.EraseSection(section); });
}

void IniReplaceSection(const TStringList& entries) {
  WithAccessor([&](TIniFile& ini) { ini.ReplaceSection(State().sectionName, entries); });
}

void IniClose() {
  IniState& state = State();
  if (!state.keepOpen) return;
  state.heldFile.reset();
  state.keepOpen = false;
}

const std::string& IniFileName() {
  return State().fileName;
}

const std::string& IniSectionName() {
  return State().sectionName;
}

bool IniKeepOpen() {
  return State().keepOpen;
}
