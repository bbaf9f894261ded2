#pragma once

#include <QString>

#include <functional>

class QWidget;

// Where the user wants a file saved: the save dialog, or whatever the tests answer in its place.
namespace SaveQuestion {

// The chosen path; empty when the user cancelled.
QString ask(
    QWidget *parent, const QString &caption, const QString &proposed, const QString &filter);

using Answer = std::function<QString(
    const QString &caption, const QString &proposed, const QString &filter)>;
// Answers every question from now on instead of the dialog; an empty answer puts the dialog back.
void answerWith(Answer answer);

} // namespace SaveQuestion
