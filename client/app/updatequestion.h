#pragma once

#include <QDialog>

// Asks, before the login window, whether to update now to a release the installation may put
// off: "Tavrel <version>" over what the release brings. 立即更新 accepts (the default button),
// 以后再说 and Escape reject.
class UpdateQuestion : public QDialog
{
    Q_OBJECT
public:
    UpdateQuestion(const QString &version, const QString &notes, QWidget *parent = nullptr);
};
