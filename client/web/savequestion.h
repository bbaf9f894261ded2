#pragma once

#include <QString>

#include <functional>

class QWidget;

// Where the user wants a file saved: the save dialog, or whatever the tests answer in its place.
namespace SaveQuestion {

// The chosen path; empty when the user cancelled. A proposed bare name is proposed in the
// user's Downloads folder, or in the home folder when there is none: never in the folder the
// client was started in, which is likely the program directory.
QString ask(QWidget *parent, const QString &caption, const QString &name, const QString &filter);

// Where the save dialog opens.
QString folder();

using Answer = std::function<QString(
    const QString &caption, const QString &proposed, const QString &filter)>;
// Answers every question from now on instead of the dialog; an empty answer puts the dialog back.
void answerWith(Answer answer);

} // namespace SaveQuestion
