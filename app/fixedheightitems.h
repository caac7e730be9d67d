#pragma once
// Drop-down list entries drawn at one fixed height, as designed lists give
// their item height in pixels.

#include <QStyledItemDelegate>

class FixedHeightItems : public QStyledItemDelegate {
public:
    FixedHeightItems(int height, QObject* parent) : QStyledItemDelegate(parent), height_(height) {}
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return {QStyledItemDelegate::sizeHint(option, index).width(), height_};
    }

private:
    int height_;
};
