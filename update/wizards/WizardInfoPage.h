#pragma once

#include <QString>
#include <QWizardPage>

class QCheckBox;
class QLabel;

/// A wizard page of text: a header, an information text and a check box
/// that stays hidden until SetCheck is called.
///
/// An exterior page (the first and last pages of a wizard) has the wizard's
/// watermark on its left and its own large header (Verdana Bold, 12 points);
/// an inner page shows its header and a short subtitle in the wizard's title
/// band, beside the wizard's header picture.
class CWizardInfoPage : public QWizardPage {
    Q_OBJECT
public:
    explicit CWizardInfoPage(bool exterior, QWidget* parent = nullptr);

    /// Switches between the exterior and the inner look.
    void SetExterior(bool exterior);
    bool IsExterior() const noexcept { return mbExterior; }
    void SetHeader(const QString& header);
    QString Header() const;
    /// The line under the header of an inner page (the band holds two lines).
    void SetSubTitle(const QString& subTitle);
    void SetInfo(const QString& info);
    QString Info() const;
    /// Shows the check box with this text and state.
    void SetCheck(const QString& text, bool checked);
    /// Whether the check box is shown and ticked.
    bool IsChecked() const;

    /// The exterior pages' header font.
    static QFont HeaderFont();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    bool mbExterior = false;
    /// The height the watermark was drawn for.
    int mWatermarkHeight = 0;
    QString mHeaderText;
    QString mSubTitle;
    QLabel* mpHeader = nullptr;
    QLabel* mpInfo = nullptr;
    QCheckBox* mpCheck = nullptr;
};
