#include "ui/FileDialog.h"

#include "app/Logger.h"
#include "ui/MessageBox.h"

#include <QFileDialog>

namespace {

std::optional<QString> gNextFileName;
std::optional<QString> gLastCaption;

} // namespace

QString CFileDialog::SaveFileName(QWidget* parent, const QString& caption, const QString& start,
                                  const QString& filters, QString* chosenFilter) {
    gLastCaption = caption;
    if (gNextFileName) {
        const QString answer = *gNextFileName;
        gNextFileName.reset();
        return answer;
    }
    if (CMessageBox::IsHeadless()) {
        VBX_LOG(2, "File chooser '" << caption.toStdString() << "' not shown: no display\n");
        return QString();
    }
    return QFileDialog::getSaveFileName(parent, caption, start, filters, chosenFilter);
}

void CFileDialog::SetNextFileName(const QString& path) {
    gNextFileName = path;
}

std::optional<QString> CFileDialog::LastCaption() {
    return gLastCaption;
}
