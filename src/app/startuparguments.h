#pragma once

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

// What the window's own command line asks for: an image to open at start, the help or the version text,
// or something it does not know. The toolkit's options (-platform, -style, ...) are not among them:
// QApplication takes those out before the rest is read.
class StartupArguments {
public:
    explicit StartupArguments(const QStringList& arguments);

    // Why argv cannot be taken as it is: an argument that is not valid text in the locale's encoding
    // comes back decoded as another path (its bytes replaced), which may name another file. Empty when
    // every argument decodes as it was given.
    static QString undecodable(int argc, char* argv[]);
    // Ends a run whose arguments cannot be taken: `fault` on stderr, status 2 as for bad usage.
    static int refuse(const QString& fault);

    // Whether `arguments` (argv, read before any application object exists) ask for the help or the
    // version only, which are answered without a display.
    static bool asksOnlyForText(int argc, char* argv[]);

    // Whether the window is to show; otherwise `answer` ends the run.
    bool showsWindow() const;
    // Prints the help or version text on stdout (status 0), or the fault on stderr (status 2, bad usage
    // as for tessel-cli), and returns that status. Needs an application object for the program's name.
    int answer() const;
    // The image to open at start, as an absolute path (what the Browse dialog gives); empty for none.
    QString imagePath() const;

private:
    QCommandLineParser parser;
    QString fault;
};
