#include "FakeWindows.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "NoRTLStream/StubMemory.h"
#include "StubCore/StubCore.h"

// In tests, running out of memory ends the run like any other exit.
void OutOfMemory() { throw FakeExit{kOutOfMemoryExitCode}; }

std::u16string Upper(const std::u16string& path) {
    std::u16string out = path;
    for (char16_t& c : out)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    return out;
}

std::string Narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

FakeWindows::~FakeWindows() = default;

void FakeWindows::AddFile(const std::u16string& path, Bytes bytes) { files[Upper(path)] = std::move(bytes); }
void FakeWindows::AddFolder(const std::u16string& path) { folders.insert(Upper(path)); }
bool FakeWindows::HasFile(const std::u16string& path) const { return files.count(Upper(path)) != 0; }
const Bytes& FakeWindows::File(const std::u16string& path) const {
    auto it = files.find(Upper(path));
    if (it == files.end()) throw std::runtime_error("no such fake file: " + Narrow(path));
    return it->second;
}

Bytes RegistryString(const std::u16string& text) {
    Bytes bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

void FakeWindows::SetRegistryText(const std::u16string& name, const std::u16string& text) {
    registry[name] = RegistryString(text);
}

int FakeWindows::OpenHandles(const std::u16string& path) const {
    const std::u16string key = Upper(path);
    return static_cast<int>(std::count_if(handles_.begin(), handles_.end(),
                                          [&](const auto& h) { return h.second.key == key; }));
}

Handle FakeWindows::NewHandle(const std::u16string& key, Mode mode) {
    const uintptr_t h = nextHandle_;
    nextHandle_ += 4;
    handles_[h] = Open{key, mode, 0};
    return reinterpret_cast<Handle>(h);
}

FakeWindows::Open* FakeWindows::Find(Handle h) {
    auto it = handles_.find(reinterpret_cast<uintptr_t>(h));
    return it == handles_.end() ? nullptr : &it->second;
}

bool FakeWindows::IsHeld(const std::u16string& key) const {
    for (const auto& h : handles_)
        if (h.second.key == key && h.second.mode == Mode::Hold) return true;
    return false;
}

bool FakeWindows::IsOpen(const std::u16string& key) const {
    for (const auto& h : handles_)
        if (h.second.key == key) return true;
    return false;
}

void FakeWindows::ModuleFileName(StubString& path) {
    path.Clear();
    // GetModuleFileNameW with 261 units: longer paths come back cut.
    path.Append(modulePath.data(), static_cast<int32_t>(std::min<size_t>(modulePath.size(), 261)));
}

const char16_t* FakeWindows::CommandLine() { return commandLine.c_str(); }

Handle FakeWindows::OpenForReading(const char16_t* path) {
    const std::u16string key = Upper(path);
    if (!files.count(key)) return InvalidHandle();
    return NewHandle(key, Mode::Read);
}

Handle FakeWindows::CreateForWriting(const char16_t* path) {
    if (beforeCreateForWriting) beforeCreateForWriting(*this, path);
    const std::u16string key = Upper(path);
    // CREATE_NEW: nothing that exists is opened or truncated.
    if (uncreatable.count(key) || folders.count(key) || files.count(key)) return InvalidHandle();
    files[key].clear();
    return NewHandle(key, Mode::Write);
}

Handle FakeWindows::HoldAgainstChanges(const char16_t* path) {
    const std::u16string key = Upper(path);
    if (changeBeforeHold && files.count(key)) changeBeforeHold(files[key]);
    if (holdFails || !files.count(key)) return InvalidHandle();
    events.push_back("hold " + Narrow(path));
    return NewHandle(key, Mode::Hold);
}

void FakeWindows::SeekTo(Handle file, uint32_t offset) {
    if (Open* o = Find(file)) o->position = offset;
}

uint32_t FakeWindows::ReadFrom(Handle file, void* destination, uint32_t count) {
    Open* o = Find(file);
    if (!o || o->mode == Mode::Write || (largestTransfer && count > largestTransfer)) return 0;
    const Bytes& bytes = files[o->key];
    if (o->position >= bytes.size()) return 0;
    const uint64_t n = std::min<uint64_t>(count, bytes.size() - o->position);
    std::memcpy(destination, bytes.data() + o->position, static_cast<size_t>(n));
    o->position += n;
    return static_cast<uint32_t>(n);
}

uint32_t FakeWindows::WriteTo(Handle file, const void* source, uint32_t count) {
    Open* o = Find(file);
    if (!o || o->mode != Mode::Write || (largestTransfer && count > largestTransfer)) return 0;
    uint64_t n = count;
    if (diskSpace) n = std::min<uint64_t>(n, *diskSpace > written_ ? *diskSpace - written_ : 0);
    Bytes& bytes = files[o->key];
    if (bytes.size() < o->position + n) bytes.resize(static_cast<size_t>(o->position + n));
    std::memcpy(bytes.data() + o->position, source, static_cast<size_t>(n));
    o->position += n;
    written_ += n;
    return static_cast<uint32_t>(n);
}

uint64_t FakeWindows::FileSize(Handle file) {
    Open* o = Find(file);
    return o ? files[o->key].size() : 0;
}

void FakeWindows::CloseHandle(Handle handle) {
    Open* o = Find(handle);
    if (!o) {
        events.push_back("close unknown handle");
        return;
    }
    if (o->mode == Mode::Process) events.push_back("close process");
    if (o->mode == Mode::Hold) events.push_back("release " + Narrow(o->key));
    handles_.erase(reinterpret_cast<uintptr_t>(handle));
}

void FakeWindows::RemoveFile(const char16_t* path) {
    const std::u16string key = Upper(path);
    events.push_back("delete " + Narrow(path));
    // Windows refuses to delete a file that is open without delete sharing.
    if (IsOpen(key)) return;
    files.erase(key);
}

bool FakeWindows::Exists(const char16_t* path) {
    const std::u16string key = Upper(path);
    return files.count(key) || folders.count(key);
}

void FakeWindows::TempPath(StubString& folder) {
    // A buffer of MAX_PATH + 1 units: a longer folder comes back empty, as
    // GetTempPath(2)W leaves a buffer that is too small.
    folder.Clear();
    if (tempPath.size() <= 261) folder.Append(tempPath.data(), static_cast<int32_t>(tempPath.size()));
}

bool FakeWindows::CreateFolder(const char16_t* path, const char16_t* securityDescriptor) {
    const std::u16string key = Upper(path);
    createdFolders.push_back({path, securityDescriptor});
    if (folderCreationFails || uncreatable.count(key) || folders.count(key) || files.count(key)) return false;
    folders.insert(key);
    events.push_back("create folder " + Narrow(path));
    return true;
}

void FakeWindows::RemoveFolder(const char16_t* path) {
    const std::u16string key = Upper(path);
    events.push_back("remove folder " + Narrow(path));
    // Only an empty folder goes.
    const std::u16string inside = key + u"\\";
    for (const auto& f : files)
        if (f.first.compare(0, inside.size(), inside) == 0) return;
    for (const auto& f : folders)
        if (f.compare(0, inside.size(), inside) == 0) return;
    folders.erase(key);
}

bool FakeWindows::GetVersion(VersionRecord& v) {
    v = versionQuerySucceeds ? version : VersionRecord{};
    return versionQuerySucceeds;
}

bool FakeWindows::GetServicePackMajor(uint32_t& sp) {
    ++servicePackQueries;
    if (!servicePackQuerySucceeds) return false;
    sp = servicePack;
    return true;
}

bool FakeWindows::OpenVersionKey() {
    ++versionKeyOpenings;
    keyOpen_ = versionKeyOpens;
    return versionKeyOpens;
}

void FakeWindows::ReadVersionValue(const char16_t* name, RegistryReading& reading) {
    reading = RegistryReading{};
    valuesRead.push_back(name);
    auto it = registry.find(name);
    if (!keyOpen_ || it == registry.end() || it->second.size() > sizeof reading.bytes) return;
    reading.readable = true;
    reading.byteCount = static_cast<uint32_t>(it->second.size());
    // An empty value has no bytes to copy (and data() may be null).
    if (!it->second.empty()) std::memcpy(reading.bytes, it->second.data(), it->second.size());
}

void FakeWindows::CloseVersionKey() {
    events.push_back("close key");
    keyOpen_ = false;
}

bool FakeWindows::IsRunningUnderWow64() {
    ++wow64Probes;
    return wow64;
}

bool FakeWindows::IsAdministrator() {
    ++administratorQueries;
    return administrator;
}

bool FakeWindows::UserSid(StubString& sid) {
    if (userSidFails) return false;
    sid.Clear();
    sid.Append(userSid.c_str());
    return true;
}

bool FakeWindows::RandomBytes(void* buffer, uint32_t count) {
    if (randomFails) return false;
    auto* bytes = static_cast<uint8_t*>(buffer);
    for (uint32_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(nextRandom >> (8 * ((count - 1 - i) % 8)));
    ++nextRandom;
    return true;
}

bool FakeWindows::HasVisibleWindowStation() {
    ++windowStationQueries;
    return windowStationVisible;
}

bool FakeWindows::UniversalName(const char16_t* path, StubString& universal) {
    ++universalNameCalls;
    auto it = universalNames.find(path);
    if (it == universalNames.end()) return false;
    universal.Clear();
    universal.Append(it->second.c_str());
    return true;
}

StartResult FakeWindows::RecordStart(StartRecord record, bool withProcess) {
    record.packageOpen = IsOpen(Upper(modulePath));
    for (const auto& h : handles_) record.copyHeld |= h.second.mode == Mode::Hold;
    starts.push_back(record);
    StartResult result;
    if (startFails) {
        result.error = startError;
        return result;
    }
    result.started = true;
    if (withProcess) result.process = NewHandle(u"<process>", Mode::Process);
    return result;
}

StartResult FakeWindows::StartProcess(char16_t* cmd, const char16_t* folder) {
    StartRecord r;
    r.commandLine = cmd;
    r.currentFolder = folder;
    return RecordStart(r, true);
}

StartResult FakeWindows::ShellStart(const char16_t* verb, const char16_t* file, const char16_t* parameters,
                                    bool noErrorUi) {
    StartRecord r;
    r.shell = true;
    r.noErrorUi = noErrorUi;
    r.verb = verb;
    r.file = file;
    r.parameters = parameters;
    return RecordStart(r, !shellGivesNoProcess);
}

void FakeWindows::WaitFor(Handle) { events.push_back("wait"); }

uint32_t FakeWindows::ExitCodeOf(Handle) { return engineExitCode; }

void FakeWindows::ShowMessage(const char16_t* text, const char16_t* caption, uint32_t style) {
    messages.push_back({text, caption, style});
}

void FakeWindows::Exit(uint32_t exitCode) { throw FakeExit{exitCode}; }

RunOutcome RunLauncherOn(FakeWindows& fake) {
    RunOutcome outcome;
    try {
        outcome.exitCode = RunLauncher(fake);
        outcome.returnedNormally = true;
    } catch (const FakeExit& e) {
        outcome.exitCode = e.code;
    }
    return outcome;
}
