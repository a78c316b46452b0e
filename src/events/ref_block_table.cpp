#include "ref_block_table.h"

#include <algorithm>
#include <locale>
#include <sstream>

#include "log_message.h"

RefBlockTable::RefBlockTable(EventFunction eventFn) : eventFn_(eventFn)
{
    spares_.reserve(kSpareEntries);
}

RefBlockTable::~RefBlockTable()
{
    const std::string report = LeakReport();
    if (!report.empty()) {
        LogMessage(CORE_PROVIDER_ID, eventFn_, LOG_LEVEL_DETAIL, "%s", report.c_str());
    }
}

void RefBlockTable::AddBlockRef(void* block, uint32_t size, uint32_t owner, block_homes::HomeId home)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Enter(block, size, owner, home);
}

void RefBlockTable::AddRefs(void* block, uint32_t size, const std::vector<uint32_t>& owners,
                            block_homes::HomeId home)
{
    if (block == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (uint32_t owner : owners) {
        Enter(block, size, owner, home);
    }
}

void RefBlockTable::Enter(void* block, uint32_t size, uint32_t owner, block_homes::HomeId home)
{
    auto found = blocks_.find(block);
    if (found != blocks_.end()) {
        auto& owners = found->second.owners;
        if (std::find(owners.begin(), owners.end(), owner) == owners.end()) {
            owners.push_back(owner);
        }
        return;
    }
    if (spares_.empty()) {
        blocks_.emplace(block, Entry{{size, home}, {owner}});
    } else {
        Blocks::node_type node = std::move(spares_.back());
        spares_.pop_back();
        node.key() = block;
        node.mapped().origin = {size, home};
        node.mapped().owners.assign(1, owner);
        blocks_.insert(std::move(node));
    }
    byteCount_ += size;
}

bool RefBlockTable::ReleaseRef(void* block, uint32_t owner, Origin* origin)
{
    if (block == nullptr) {
        return true;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return Drop(block, &owner, 1, origin);
}

bool RefBlockTable::ReleaseRefs(void* block, const std::vector<uint32_t>& owners, Origin* origin)
{
    if (block == nullptr) {
        return true;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return Drop(block, owners.data(), owners.size(), origin);
}

bool RefBlockTable::Drop(void* block, const uint32_t* dropped, std::size_t count, Origin* origin)
{
    auto found = blocks_.find(block);
    if (found == blocks_.end()) {
        return false;
    }
    auto& owners = found->second.owners;
    for (std::size_t i = 0; i < count; ++i) {
        auto at = std::find(owners.begin(), owners.end(), dropped[i]);
        if (at != owners.end()) {
            *at = owners.back();
            owners.pop_back();
        }
    }
    if (!owners.empty()) {
        return false;
    }
    byteCount_ -= found->second.origin.size;
    if (origin != nullptr) {
        *origin = found->second.origin;
    }
    Blocks::node_type node = blocks_.extract(found);
    if (spares_.size() < kSpareEntries) {
        spares_.push_back(std::move(node));
    }
    return true;
}

uint32_t RefBlockTable::BlockCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<uint32_t>(blocks_.size());
}

uint32_t RefBlockTable::ByteCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return byteCount_;
}

template <typename Visit>
void RefBlockTable::ForEachOwner(Visit visit) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& block : blocks_) {
        for (uint32_t owner : block.second.owners) {
            visit(owner, block.second.origin.size);
        }
    }
}

std::unordered_map<uint32_t, uint32_t> RefBlockTable::OwnerTally() const
{
    std::unordered_map<uint32_t, uint32_t> tally;
    ForEachOwner([&tally](uint32_t owner, uint32_t) { ++tally[owner]; });
    return tally;
}

std::unordered_map<uint32_t, RefBlockTable::Kept> RefBlockTable::KeptByOwner() const
{
    std::unordered_map<uint32_t, Kept> kept;
    ForEachOwner([&kept](uint32_t owner, uint32_t size) {
        Kept& entry = kept[owner];
        ++entry.blocks;
        entry.bytes += size;
    });
    return kept;
}

std::string RefBlockTable::LeakReport() const
{
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << std::hex;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& block : blocks_) {
        text << "address " << static_cast<const void*>(block.first) << " leaked by plugins [";
        const char* separator = "";
        for (uint32_t owner : block.second.owners) {
            text << separator << owner;
            separator = ",";
        }
        text << "]\n";
    }
    return text.str();
}
