#include "ResourceTree.h"

#include <iterator>
#include <map>
#include <set>

#include "PeBytes.h"

using namespace pe_bytes;

namespace {

// Bounds what a hostile directory can make the reader do: entries may share
// subdirectories and data, so sizes alone do not limit the work.
constexpr uint64_t kMaxEntries = 1u << 16;

class TreeReader {
public:
    // Entries may share data, but an image whose resources add up to more
    // than twice its size is built to make readers work, not to be read.
    TreeReader(const ImageView& view, uint32_t rva, uint64_t imageSize)
        : view_(view), dir_(view.From(rva, "the resource directory")), maxBytes_(2 * imageSize) {}

    ResourceTree Read() {
        ResourceTree tree;
        ReadDirectory(0, tree.header, [&](const ResourceId& type, uint32_t target) {
            NameDirectory& names = Insert(tree.entries, type, "type " + type.Describe(true));
            ReadDirectory(Subdirectory(target, type.Describe(true)), names.header,
                          [&](const ResourceId& name, uint32_t target2) {
                const std::string where = type.Describe(true) + " " + name.Describe();
                LanguageDirectory& languages = Insert(names.entries, name, where);
                ReadDirectory(Subdirectory(target2, where), languages.header,
                              [&](const ResourceId& language, uint32_t target3) {
                    if (language.named || language.id > 0xFFFF)
                        Refuse("resource " + where + " has a language entry that is no language id");
                    if (target3 & 0x80000000u) Refuse("resource " + where + " nests deeper than type, name and language");
                    Insert(languages.entries, language, where + " language " + Num(language.id)) = ReadLeaf(target3, where);
                });
            });
        });
        return tree;
    }

private:
    template <class Map>
    typename Map::mapped_type& Insert(Map& map, const ResourceId& key, const std::string& what) {
        auto [it, added] = map.emplace(key, typename Map::mapped_type{});
        if (!added) Refuse("the resource directory lists " + what + " twice");
        return it->second;
    }

    uint32_t Subdirectory(uint32_t target, const std::string& what) {
        if (!(target & 0x80000000u)) Refuse("resource " + what + " is data where a directory belongs");
        return target & 0x7FFFFFFFu;
    }

    template <class F>
    void ReadDirectory(uint64_t at, ResourceDirectoryHeader& header, F f) {
        header.characteristics = dir_.U32(at);
        header.timeDateStamp = dir_.U32(at + 4);
        header.majorVersion = dir_.U16(at + 8);
        header.minorVersion = dir_.U16(at + 10);
        const uint32_t count = static_cast<uint32_t>(dir_.U16(at + 12)) + dir_.U16(at + 14);
        dir_.Need(at + 16, 8ull * count);
        for (uint32_t i = 0; i < count; ++i) {
            if (++entries_ > kMaxEntries) Refuse("the resource directory has more than " + Num(kMaxEntries) + " entries");
            const uint32_t nameField = dir_.U32(at + 16 + 8ull * i);
            f(EntryName(nameField), dir_.U32(at + 20 + 8ull * i));
        }
    }

    ResourceId EntryName(uint32_t field) {
        if (!(field & 0x80000000u)) return ResourceId::Number(field);
        const uint64_t at = field & 0x7FFFFFFFu;
        return ResourceId::Name(ReadUtf16(dir_, at + 2, dir_.U16(at)));
    }

    ResourceLeaf ReadLeaf(uint32_t at, const std::string& where) {
        const uint32_t rva = dir_.U32(at), size = dir_.U32(at + 4);
        view_.Offset(rva, size, "the data of resource " + where);
        bytes_ += size;
        if (bytes_ > maxBytes_) Refuse("the resources add up to more than twice the size of the image");
        ResourceLeaf leaf;
        leaf.codePage = dir_.U32(at + 8);
        leaf.data = view_.Read(rva, size, "the data of resource " + where);
        return leaf;
    }

    const ImageView& view_;
    Reader dir_;
    const uint64_t maxBytes_;
    uint64_t entries_ = 0, bytes_ = 0;
};

std::string Size(const IconImage& image) { return Num(image.width) + "x" + Num(image.height); }

// The numbers of the RT_ICON entries a group names.
std::vector<uint16_t> GroupIconIds(const Bytes& group, const std::string& where) {
    const Reader r(group.data(), group.size(), "icon group " + where);
    if (r.U16(0) != 0 || r.U16(2) != 1) Refuse("icon group " + where + " is not an icon group");
    std::vector<uint16_t> ids;
    for (uint32_t i = 0, count = r.U16(4); i < count; ++i) ids.push_back(r.U16(6 + 14ull * i + 12));
    return ids;
}

IconGroup ReadIconGroup(const ResourceTree& tree, const ResourceId& name, const ResourceId& language, const Bytes& data) {
    IconGroup group;
    group.name = name;
    group.language = static_cast<uint16_t>(language.id);
    const Reader r(data.data(), data.size(), "icon group " + name.Describe());
    GroupIconIds(data, name.Describe());
    const auto icons = tree.entries.find(ResourceId::Number(kRtIcon));
    for (uint32_t i = 0, count = r.U16(4); i < count; ++i) {
        const uint64_t e = 6 + 14ull * i;
        IconGroupImage image;
        static_cast<IconFormat&>(image) = ReadIconFormat(r, e);
        image.size = r.U32(e + 8);
        image.iconId = r.U16(e + 12);
        if (icons != tree.entries.end()) {
            const auto icon = icons->second.entries.find(ResourceId::Number(image.iconId));
            if (icon != icons->second.entries.end() && !icon->second.entries.empty()) {
                // Windows looks the icon up in the group's language first.
                auto leaf = icon->second.entries.find(language);
                if (leaf == icon->second.entries.end()) leaf = icon->second.entries.begin();
                image.present = true;
                image.png = IsPngImage(leaf->second.data);
            }
        }
        group.images.push_back(image);
    }
    return group;
}

void ReadOrRefuse(const uint8_t* image, size_t size, ResourceReport& out) {
    // The headers and section table lie in the image's first bytes; the
    // sections are read where the directory points.
    PeInfo info;
    std::string error;
    if (!ParsePeHeaders(image, size, info, error)) Refuse(error);
    ResourceReport report;
    if (info.directories.size() > kResourceDirectory && info.directories[kResourceDirectory].rva) {
        const ResourceTree tree = ReadTreeOf(ImageView(image, size, info), info);
        for (const auto& [type, names] : tree.entries)
            for (const auto& [name, languages] : names.entries)
                for (const auto& [language, leaf] : languages.entries)
                    report.entries.push_back({type, name, static_cast<uint16_t>(language.id),
                                              static_cast<uint32_t>(leaf.data.size()), leaf.codePage});
        const auto versions = tree.entries.find(ResourceId::Number(kRtVersion));
        if (versions != tree.entries.end()) {
            const auto main = versions->second.entries.find(ResourceId::Number(1));
            if (main != versions->second.entries.end() && !main->second.entries.empty()) {
                VersionInfo version;
                std::string error;
                if (!ParseVersionResource(main->second.entries.begin()->second.data, version, error)) Refuse(error);
                report.version = std::move(version);
            }
        }
        const auto groups = tree.entries.find(ResourceId::Number(kRtGroupIcon));
        if (groups != tree.entries.end() && !groups->second.entries.empty()) {
            const auto& [name, languages] = *groups->second.entries.begin();
            if (!languages.entries.empty())
                report.mainIcon = ReadIconGroup(tree, name, languages.entries.begin()->first, languages.entries.begin()->second.data);
        }
    }
    out = std::move(report);
}

}  // namespace

bool ResourceId::operator<(const ResourceId& o) const {
    if (named != o.named) return named;
    return named ? name < o.name : id < o.id;
}

std::string ResourceId::Describe(bool asType) const {
    if (named) return "\"" + Utf16ToUtf8(name) + "\"";
    static const char* const kTypes[] = {nullptr,        "RT_CURSOR",       "RT_BITMAP",    "RT_ICON",
                                         "RT_MENU",      "RT_DIALOG",       "RT_STRING",    "RT_FONTDIR",
                                         "RT_FONT",      "RT_ACCELERATOR",  "RT_RCDATA",    "RT_MESSAGETABLE",
                                         "RT_GROUP_CURSOR", nullptr,        "RT_GROUP_ICON", nullptr,
                                         "RT_VERSION",   "RT_DLGINCLUDE",   nullptr,        "RT_PLUGPLAY",
                                         "RT_VXD",       "RT_ANICURSOR",    "RT_ANIICON",   "RT_HTML",
                                         "RT_MANIFEST"};
    if (asType && id < std::size(kTypes) && kTypes[id]) return std::string(kTypes[id]) + " (" + Num(id) + ")";
    return Num(id);
}

ResourceTree ReadTreeOf(const pe_bytes::ImageView& image, const PeInfo& info) {
    return TreeReader(image, info.directories[kResourceDirectory].rva, image.size()).Read();
}

// The usual layout: all directory tables (root, types, names), the data
// entries, the name strings, then each resource's data 8-byte aligned.
// Offsets inside the tree are relative to its start, data addresses RVAs.
Bytes WriteTree(const ResourceTree& tree, uint32_t rva) {
    uint64_t pos = 16 + 8ull * tree.entries.size();
    std::vector<uint64_t> nameDirectories, languageDirectories, dataEntries, dataAt;
    for (const auto& [type, names] : tree.entries) {
        nameDirectories.push_back(pos);
        pos += 16 + 8ull * names.entries.size();
    }
    for (const auto& [type, names] : tree.entries)
        for (const auto& [name, languages] : names.entries) {
            languageDirectories.push_back(pos);
            pos += 16 + 8ull * languages.entries.size();
        }
    for (const auto& [type, names] : tree.entries)
        for (const auto& [name, languages] : names.entries)
            for (size_t i = 0; i < languages.entries.size(); ++i) {
                dataEntries.push_back(pos);
                pos += 16;
            }
    std::map<std::u16string, uint64_t> strings;
    auto placeString = [&](const ResourceId& id) {
        if (id.named && strings.emplace(id.name, pos).second) pos += 2 + 2ull * id.name.size();
    };
    for (const auto& [type, names] : tree.entries) {
        placeString(type);
        for (const auto& [name, languages] : names.entries) placeString(name);
    }
    pos = AlignUp(pos, 8);
    for (const auto& [type, names] : tree.entries)
        for (const auto& [name, languages] : names.entries)
            for (const auto& [language, leaf] : languages.entries) {
                dataAt.push_back(pos);
                pos = AlignUp(pos + leaf.data.size(), 8);
            }
    if (pos > 0x40000000u) Refuse("the resources would take more than 1 GiB");

    Bytes out(pos, 0);
    auto writeDirectory = [&](uint64_t at, const auto& directory, auto target) {
        Put32(out, at, directory.header.characteristics);
        Put32(out, at + 4, directory.header.timeDateStamp);
        Put16(out, at + 8, directory.header.majorVersion);
        Put16(out, at + 10, directory.header.minorVersion);
        uint16_t named = 0, numbered = 0;
        uint64_t e = at + 16;
        for (const auto& [id, child] : directory.entries) {
            (id.named ? named : numbered)++;
            Put32(out, e, id.named ? 0x80000000u | static_cast<uint32_t>(strings.at(id.name)) : id.id);
            Put32(out, e + 4, target());
            e += 8;
        }
        Put16(out, at + 12, named);
        Put16(out, at + 14, numbered);
    };
    size_t nameIndex = 0, languageIndex = 0, dataIndex = 0;
    writeDirectory(0, tree, [&] { return 0x80000000u | static_cast<uint32_t>(nameDirectories[nameIndex++]); });
    nameIndex = 0;
    for (const auto& [type, names] : tree.entries)
        writeDirectory(nameDirectories[nameIndex++], names,
                       [&] { return 0x80000000u | static_cast<uint32_t>(languageDirectories[languageIndex++]); });
    languageIndex = 0;
    for (const auto& [type, names] : tree.entries)
        for (const auto& [name, languages] : names.entries)
            writeDirectory(languageDirectories[languageIndex++], languages, [&] { return static_cast<uint32_t>(dataEntries[dataIndex++]); });
    dataIndex = 0;
    for (const auto& [type, names] : tree.entries)
        for (const auto& [name, languages] : names.entries)
            for (const auto& [language, leaf] : languages.entries) {
                const uint64_t e = dataEntries[dataIndex], at = dataAt[dataIndex];
                ++dataIndex;
                Put32(out, e, rva + static_cast<uint32_t>(at));
                Put32(out, e + 4, static_cast<uint32_t>(leaf.data.size()));
                Put32(out, e + 8, leaf.codePage);
                std::copy(leaf.data.begin(), leaf.data.end(), out.begin() + at);
            }
    for (const auto& [name, at] : strings) {
        Put16(out, at, static_cast<uint16_t>(name.size()));
        for (size_t i = 0; i < name.size(); ++i) Put16(out, at + 2 + 2 * i, name[i]);
    }
    return out;
}

void SetIcon(ResourceTree& tree, const std::vector<IconImage>& images) {
    if (images.empty()) Refuse("an icon needs at least one image");
    if (images.size() > 0xFFFF) Refuse("an icon group holds at most 65535 images");
    for (const IconImage& image : images) {
        if (image.width < 1 || image.width > 256 || image.height < 1 || image.height > 256)
            Refuse("an icon image of " + Size(image) + " pixels: icons hold 1 to 256 pixels a side");
        if (image.data.empty()) Refuse("an icon image of " + Size(image) + " pixels has no data");
    }
    const ResourceId groupType = ResourceId::Number(kRtGroupIcon), iconType = ResourceId::Number(kRtIcon);
    const ResourceId main = ResourceId::Number(1);
    auto groups = tree.entries.find(groupType);
    std::set<uint16_t> replaced, kept;
    if (groups != tree.entries.end()) {
        for (const auto& [name, languages] : groups->second.entries) {
            if (name.named)
                Refuse("the image has an icon group named " + name.Describe() +
                       ", which Explorer would show instead of the new icon");
            for (const auto& [language, leaf] : languages.entries)
                for (uint16_t id : GroupIconIds(leaf.data, name.Describe()))
                    (name == main ? replaced : kept).insert(id);
        }
        groups->second.entries.erase(main);
    }
    auto icons = tree.entries.find(iconType);
    if (icons != tree.entries.end())
        for (uint16_t id : replaced)
            if (!kept.count(id)) icons->second.entries.erase(ResourceId::Number(id));
    NameDirectory& iconNames = tree.entries[iconType];
    Bytes group;
    Append16(group, 0);
    Append16(group, 1);
    Append16(group, static_cast<uint16_t>(images.size()));
    uint32_t next = 1;
    for (const IconImage& image : images) {
        while (iconNames.entries.count(ResourceId::Number(next)) || kept.count(static_cast<uint16_t>(next))) ++next;
        if (next > 0xFFFF) Refuse("no free RT_ICON numbers are left");
        iconNames.entries[ResourceId::Number(next)].entries[ResourceId::Number(kLanguageEnUs)] = ResourceLeaf{image.data, 0};
        group.push_back(static_cast<uint8_t>(image.width >= 256 ? 0 : image.width));
        group.push_back(static_cast<uint8_t>(image.height >= 256 ? 0 : image.height));
        group.push_back(image.colorCount);
        group.push_back(0);
        Append16(group, image.planes);
        Append16(group, image.bitCount);
        Append32(group, static_cast<uint32_t>(image.data.size()));
        Append16(group, static_cast<uint16_t>(next));
        ++next;
    }
    tree.entries[groupType].entries[main].entries[ResourceId::Number(kLanguageEnUs)] = ResourceLeaf{std::move(group), 0};
}

void SetVersion(ResourceTree& tree, const VersionStrings& strings) {
    Bytes resource;
    std::string error;
    if (!BuildVersionResource(strings, resource, error)) Refuse(error);
    LanguageDirectory& languages = tree.entries[ResourceId::Number(kRtVersion)].entries[ResourceId::Number(1)];
    languages.entries.clear();
    languages.entries[ResourceId::Number(kLanguageEnUs)] = ResourceLeaf{std::move(resource), 0};
}

bool ReadResources(const uint8_t* image, size_t size, ResourceReport& report, std::string& error) {
    return Guarded(error, [&] { ReadOrRefuse(image, size, report); });
}

