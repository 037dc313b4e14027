import QtQuick
import Qor.Ui

// The heading of a section of a panel, in small capitals.
Text {
    topPadding: 10
    bottomPadding: 2
    color: Theme.neutralGrey
    font.pointSize: Theme.pt(10.5)
    font.weight: Font.DemiBold
    font.letterSpacing: 0.4
    wrapMode: Text.Wrap
}
