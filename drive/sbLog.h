// The drive layer's in-memory message log: TsbLogItem entries collected in a
// TsbLog. The base form (TsbMainForm) owns one and merges and truncates it by
// page owner. Not thread-safe: the main thread only.
#pragma once

#include "sbTypes.h"

#include <QDateTime>
#include <QString>

#include <cstdint>
#include <vector>

struct TsbLogItem {
    QString LogMessage;
    QDateTime LogTime;
    TsbLogItemType ItemType = litInfo;
    int32_t PageOwner = 0;
    // Assigning one item to another copies all four fields (the default copy).
};

class TsbLog {
public:
    TsbLogItem& Add() { return items_.emplace_back(); }
    TsbLogItem& Add(const QString& message, TsbLogItemType type, int32_t owner = 0) {
        TsbLogItem& item = Add();
        item.LogMessage = message;
        item.LogTime = QDateTime::currentDateTime();
        item.ItemType = type;
        item.PageOwner = owner;
        return item;
    }
    int Count() const { return static_cast<int>(items_.size()); }
    TsbLogItem& Items(int index) { return items_.at(static_cast<size_t>(index)); }
    const TsbLogItem& Items(int index) const { return items_.at(static_cast<size_t>(index)); }
    void Delete(int index) { items_.erase(items_.begin() + index); }
    void Clear() { items_.clear(); }

private:
    std::vector<TsbLogItem> items_;
};
