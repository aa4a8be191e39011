# After the title line of a page: a fallback for each Chinese character of
# classify's labels, which groff takes only where the device lacks the glyph
# (-Tascii, the POSIX locale): the labels read "leibie:" and ",gailv:".
/^\.TH/a\
.fchar \\[u7C7B] lei\
.fchar \\[u522B] bie\
.fchar \\[uFF1A] :\
.fchar \\[uFF0C] ,\
.fchar \\[u6982] gai\
.fchar \\[u7387] lv
