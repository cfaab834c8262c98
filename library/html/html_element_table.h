// HTML/CSS document model: the table of HTML element classes.
//
// One row per tag: ROW(tag, class, category bases...). PLAIN rows are
// elements without typed attributes or constructor arguments; their classes
// are generated from the row (html_elements.h). CUSTOM rows have classes of
// their own, written by hand (html_custom_elements.h), whose bases are checked
// against the row. The element catalogue makes its factories and its set of
// void elements (the rows with category 2) from the same table.
//
// An element without typed attributes is one PLAIN row here.
#pragma once

// clang-format off
#define KO_HTML_ELEMENT_TABLE(PLAIN, CUSTOM) \
    CUSTOM(a, KoHTML_a2, KoHTML_ElementType0) \
    PLAIN(abbr, KoHTML_abbr2, KoHTML_ElementType0) \
    PLAIN(acronym, KoHTML_acronym2, KoHTML_ElementType0) \
    PLAIN(address, KoHTML_address2, KoHTML_ElementType0) \
    PLAIN(article, KoHTML_article2, KoHTML_ElementType0) \
    PLAIN(aside, KoHTML_aside2, KoHTML_ElementType0) \
    PLAIN(audio, KoHTML_audio2, KoHTML_ElementType0) \
    PLAIN(b, KoHTML_b2, KoHTML_ElementType0) \
    PLAIN(bdi, KoHTML_bdi2, KoHTML_ElementType0) \
    PLAIN(bdo, KoHTML_bdo2, KoHTML_ElementType0) \
    PLAIN(big, KoHTML_big2, KoHTML_ElementType0) \
    PLAIN(blockquote, KoHTML_blockquote2, KoHTML_ElementType0) \
    PLAIN(body, KoHTML_body2, KoHTML_ElementType0, KoHTML_ElementType0A, KoHTML_ElementType0B, KoHTML_ElementType0C) \
    PLAIN(button, KoHTML_button2, KoHTML_ElementType0, KoHTML_ElementType0A, KoHTML_ElementType0B) \
    PLAIN(canvas, KoHTML_canvas2, KoHTML_ElementType0) \
    PLAIN(caption, KoHTML_caption2, KoHTML_ElementType0) \
    PLAIN(cite, KoHTML_cite2, KoHTML_ElementType0) \
    PLAIN(code, KoHTML_code2, KoHTML_ElementType0) \
    PLAIN(datalist, KoHTML_datalist2, KoHTML_ElementType0) \
    PLAIN(del, KoHTML_del2, KoHTML_ElementType0) \
    PLAIN(details, KoHTML_details2, KoHTML_ElementType0) \
    PLAIN(dfn, KoHTML_dfn2, KoHTML_ElementType0) \
    PLAIN(dialog, KoHTML_dialog2, KoHTML_ElementType0) \
    CUSTOM(div, KoHTML_div2, KoHTML_ElementType0, KoHTML_ElementType0A, KoHTML_ElementType0B, KoHTML_ElementType0C) \
    PLAIN(dl, KoHTML_dl2, KoHTML_ElementType0) \
    PLAIN(em, KoHTML_em2, KoHTML_ElementType0) \
    PLAIN(fieldset, KoHTML_fieldset2, KoHTML_ElementType0) \
    PLAIN(figcaption, KoHTML_figcaption2, KoHTML_ElementType0) \
    PLAIN(footer, KoHTML_footer2, KoHTML_ElementType0) \
    CUSTOM(form, KoHTML_form2, KoHTML_ElementType0, KoHTML_ElementType0A, KoHTML_ElementType0B) \
    PLAIN(frameset, KoHTML_frameset2, KoHTML_ElementType0) \
    PLAIN(h1, KoHTML_h12, KoHTML_ElementType0) \
    PLAIN(h2, KoHTML_h22, KoHTML_ElementType0, KoHTML_ElementType0A) \
    PLAIN(h3, KoHTML_h32, KoHTML_ElementType0) \
    PLAIN(h4, KoHTML_h42, KoHTML_ElementType0) \
    PLAIN(h5, KoHTML_h52, KoHTML_ElementType0) \
    PLAIN(h6, KoHTML_h62, KoHTML_ElementType0) \
    PLAIN(head, KoHTML_head2, KoHTML_ElementType0) \
    PLAIN(header, KoHTML_header2, KoHTML_ElementType0) \
    PLAIN(hgroup, KoHTML_hgroup2, KoHTML_ElementType0) \
    PLAIN(html, KoHTML_html2, KoHTML_ElementType0) \
    PLAIN(i, KoHTML_i2, KoHTML_ElementType0) \
    CUSTOM(iframe, KoHTML_iframe2, KoHTML_ElementType0) \
    PLAIN(ins, KoHTML_ins2, KoHTML_ElementType0) \
    PLAIN(kbd, KoHTML_kbd2, KoHTML_ElementType0) \
    CUSTOM(label, KoHTML_label2, KoHTML_ElementType0, KoHTML_ElementType0A) \
    PLAIN(legend, KoHTML_legend2, KoHTML_ElementType0) \
    PLAIN(main, KoHTML_main2, KoHTML_ElementType0) \
    PLAIN(map, KoHTML_map2, KoHTML_ElementType0) \
    PLAIN(mark, KoHTML_mark2, KoHTML_ElementType0) \
    PLAIN(menu, KoHTML_menu2, KoHTML_ElementType0) \
    PLAIN(menuitem, KoHTML_menuitem2, KoHTML_ElementType0) \
    PLAIN(meter, KoHTML_meter2, KoHTML_ElementType0) \
    PLAIN(nav, KoHTML_nav2, KoHTML_ElementType0) \
    PLAIN(noframes, KoHTML_noframes2, KoHTML_ElementType0) \
    PLAIN(noscript, KoHTML_noscript2, KoHTML_ElementType0) \
    PLAIN(object, KoHTML_object2, KoHTML_ElementType0) \
    PLAIN(ol, KoHTML_ol2, KoHTML_ElementType0) \
    PLAIN(optgroup, KoHTML_optgroup2, KoHTML_ElementType0) \
    PLAIN(output, KoHTML_output2, KoHTML_ElementType0) \
    PLAIN(pre, KoHTML_pre2, KoHTML_ElementType0) \
    CUSTOM(progress, KoHTML_progress2, KoHTML_ElementType0, KoHTML_ElementType0A) \
    PLAIN(q, KoHTML_q2, KoHTML_ElementType0) \
    PLAIN(rp, KoHTML_rp2, KoHTML_ElementType0) \
    PLAIN(rt, KoHTML_rt2, KoHTML_ElementType0) \
    PLAIN(ruby, KoHTML_ruby2, KoHTML_ElementType0) \
    PLAIN(s, KoHTML_s2, KoHTML_ElementType0) \
    PLAIN(samp, KoHTML_samp2, KoHTML_ElementType0) \
    CUSTOM(script, KoHTML_script2, KoHTML_ElementType0) \
    PLAIN(section, KoHTML_section2, KoHTML_ElementType0) \
    CUSTOM(select, KoHTML_select2, KoHTML_ElementType0) \
    PLAIN(small, KoHTML_small2, KoHTML_ElementType0) \
    PLAIN(span, KoHTML_span2, KoHTML_ElementType0, KoHTML_ElementType0A) \
    PLAIN(strong, KoHTML_strong2, KoHTML_ElementType0) \
    CUSTOM(style, KoHTML_style2, KoHTML_ElementType0) \
    PLAIN(sub, KoHTML_sub2, KoHTML_ElementType0) \
    PLAIN(summary, KoHTML_summary2, KoHTML_ElementType0) \
    PLAIN(sup, KoHTML_sup2, KoHTML_ElementType0) \
    PLAIN(table, KoHTML_table2, KoHTML_ElementType0) \
    PLAIN(tbody, KoHTML_tbody2, KoHTML_ElementType0) \
    PLAIN(textarea, KoHTML_textarea2, KoHTML_ElementType0) \
    PLAIN(time, KoHTML_time2, KoHTML_ElementType0) \
    CUSTOM(title, KoHTML_title2, KoHTML_ElementType0) \
    PLAIN(tt, KoHTML_tt2, KoHTML_ElementType0) \
    PLAIN(u, KoHTML_u2, KoHTML_ElementType0) \
    PLAIN(ul, KoHTML_ul2, KoHTML_ElementType0) \
    PLAIN(var, KoHTML_var2, KoHTML_ElementType0) \
    PLAIN(video, KoHTML_video2, KoHTML_ElementType0) \
    PLAIN(colgroup, KoHTML_colgroup2, KoHTML_ElementType1) \
    PLAIN(dd, KoHTML_dd2, KoHTML_ElementType1) \
    PLAIN(dt, KoHTML_dt2, KoHTML_ElementType1) \
    PLAIN(li, KoHTML_li2, KoHTML_ElementType1) \
    CUSTOM(option, KoHTML_option2, KoHTML_ElementType1) \
    PLAIN(p, KoHTML_p2, KoHTML_ElementType1, KoHTML_ElementType0A, KoHTML_ElementType0B, KoHTML_ElementType0C) \
    PLAIN(td, KoHTML_td2, KoHTML_ElementType1) \
    PLAIN(tfoot, KoHTML_tfoot2, KoHTML_ElementType1) \
    PLAIN(th, KoHTML_th2, KoHTML_ElementType1) \
    PLAIN(thead, KoHTML_thead2, KoHTML_ElementType1) \
    PLAIN(tr, KoHTML_tr2, KoHTML_ElementType1) \
    PLAIN(area, KoHTML_area2, KoHTML_ElementType2) \
    PLAIN(base, KoHTML_base2, KoHTML_ElementType2) \
    PLAIN(br, KoHTML_br2, KoHTML_ElementType2) \
    PLAIN(col, KoHTML_col2, KoHTML_ElementType2) \
    PLAIN(embed, KoHTML_embed2, KoHTML_ElementType2) \
    PLAIN(frame, KoHTML_frame2, KoHTML_ElementType2) \
    PLAIN(hr, KoHTML_hr2, KoHTML_ElementType2) \
    CUSTOM(img, KoHTML_img2, KoHTML_ElementType2) \
    CUSTOM(input, KoHTML_input2, KoHTML_ElementType2) \
    PLAIN(keygen, KoHTML_keygen2, KoHTML_ElementType2) \
    CUSTOM(link, KoHTML_link2, KoHTML_ElementType2) \
    CUSTOM(meta, KoHTML_meta2, KoHTML_ElementType2) \
    PLAIN(param, KoHTML_param2, KoHTML_ElementType2) \
    PLAIN(source, KoHTML_source2, KoHTML_ElementType2) \
    PLAIN(track, KoHTML_track2, KoHTML_ElementType2) \
    PLAIN(wbr, KoHTML_wbr2, KoHTML_ElementType2)

// clang-format on
