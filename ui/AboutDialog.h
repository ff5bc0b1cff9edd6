#pragma once

#include <QDialog>
#include <QImage>

class QLabel;

/// The "About Vortlebox" box: the About picture (bitmap 189) painted from
/// the top-left corner behind everything, the line "Version " and the
/// program's version, and OK. Texts are grey on the picture.
class CAboutDialog : public QDialog {
    Q_OBJECT
public:
    /// Control identifier of the version line; its objectName is "versionText".
    static constexpr int IDC_VERSION = 1038;

    explicit CAboutDialog(QWidget* parent = nullptr);

    /// "Version " and the program's file version (four fields).
    static QString VersionText();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage mPicture;
    QLabel* mpVersion = nullptr;
};
