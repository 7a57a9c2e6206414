#pragma once

#include "Platform/ChangeSource.h"
#include "Platform/DiskDescriptions.h"
#include "Platform/MountTable.h"

#include <QHash>

#include <memory>

namespace mallowby::test {

// A mount table, descriptions and change sources a test sets by hand.
class FakeVolumePlatform {
public:
    class Table final : public MountTable {
    public:
        QList<VolumeStore::Mount> read() const override
        {
            ++reads;
            return mounts;
        }
        QList<VolumeStore::Mount> mounts;
        mutable int reads = 0;
    };

    class Descriptions final : public DiskDescriptions {
    public:
        std::optional<DiskDescription> describe(const QString& bsdName) const override
        {
            const auto it = byName.constFind(bsdName);
            return it == byName.constEnd() ? std::nullopt : std::optional(*it);
        }
        QHash<QString, DiskDescription> byName;
    };

    class Source final : public ChangeSource {
    public:
        bool start() override { return started = true; }
        void fire() { emit changed(); }
        bool started = false;
    };

    std::shared_ptr<Table> table = std::make_shared<Table>();
    std::shared_ptr<Descriptions> descriptions = std::make_shared<Descriptions>();
    Source* source = nullptr;  // owned by the store once started

    VolumeStore::Platform platform()
    {
        return {table, descriptions, [this] {
                    std::vector<std::unique_ptr<ChangeSource>> sources;
                    auto owned = std::make_unique<Source>();
                    source = owned.get();
                    sources.push_back(std::move(owned));
                    return sources;
                }};
    }

    static VolumeStore::Mount mount(const QString& path, const QString& source, const QString& type = QStringLiteral("ext4"))
    {
        return VolumeStore::Mount{path, source, type, true, 0, false};
    }
};

} // namespace mallowby::test
