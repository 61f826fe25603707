-- The viewer's tab strip: one control that draws a tab for each document and finds the tab under the
-- pointer. Tabs take their label's width when all of them fit, else the widest shrink to an equal share so
-- that all do; a press on a tab shows its document, a middle press closes it.
local M = {}

M.LEFT, M.TOP, M.GAP = 4, 4, 2 -- the strip's padding and the room between tabs, in DIPs
M.MIN_WIDTH = 16
local PADDING = 8
local ELLIPSIS = "\u{2026}"

-- text, cut to fit room DIPs with an ellipsis when it does not.
function M.fitted(canvas, font, text, room)
  if canvas:measure_text(font, text) <= room then return text end
  local cut = canvas:text_column(font, text, math.max(room - canvas:measure_text(font, ELLIPSIS), 0))
  return text:sub(1, cut - 1) .. ELLIPSIS
end

function M.label_of(doc) return doc.name:match("[^/]+/*$") or doc.name end

-- The width of each tab in a strip width DIPs wide, from the labels' widths: every tab whose label is
-- wider than the share the others leave it gets that share (at least MIN_WIDTH).
function M.fit(widths, width)
  local count = #widths
  local room = width - M.LEFT - M.GAP * math.max(count - 1, 0)
  local sorted = table.move(widths, 1, count, 1, {})
  table.sort(sorted)
  local share, left = math.huge, room
  for i, label_width in ipairs(sorted) do
    local equal = left // (count - i + 1)
    if label_width > equal then
      share = math.max(M.MIN_WIDTH, equal)
      break
    end
    left = left - label_width
  end
  local fitted = {}
  for i, label_width in ipairs(widths) do fitted[i] = math.min(label_width, share) end
  return fitted
end

-- The control definition of the strip over viewer (its docs, selected, hovered, tab_widths, label_font,
-- select and close_tab), drawn in colors.
function M.definition(viewer, colors)
  local strip = {}
  -- Each tab's place {x, width} in a strip width DIPs wide.
  local function places(width)
    local tabs, x = {}, M.LEFT
    for i, tab_width in ipairs(M.fit(viewer.tab_widths, width)) do
      tabs[i] = { x = x, width = tab_width }
      x = x + tab_width + M.GAP
    end
    return tabs
  end
  -- The tab at x, y of the strip: among the tabs there are now, placed in the width of the last paint, so
  -- that a press that comes before the strip is painted again after a tab closed meets no closed tab.
  local function tab_at(x, y)
    if y < M.TOP or not strip.width then return nil end
    for i, tab in ipairs(places(strip.width)) do
      if x >= tab.x and x < tab.x + tab.width then return i end
    end
    return nil
  end
  local function hover(index)
    if viewer.hovered == index then return end
    viewer.hovered = index
    viewer:redraw()
  end
  return {
    draw = function(_, canvas)
      local width, height = canvas:size()
      canvas:fill_rect(0, 0, width, height, colors.background)
      strip.width = width
      local tabs = places(width)
      for i, doc in ipairs(viewer.docs) do
        local x, tab_width, selected = tabs[i].x, tabs[i].width, i == viewer.selected
        local fill = selected and colors.background or (viewer.hovered == i and colors.tab_hovered or colors.tab)
        canvas:fill_rect(x, M.TOP, tab_width, height - M.TOP, fill)
        if selected then canvas:fill_rect(x, M.TOP, tab_width, 2, colors.accent) end
        local label = M.fitted(canvas, viewer.label_font, M.label_of(doc), tab_width - 2 * PADDING)
        local _, label_height = canvas:measure_text(viewer.label_font, label)
        local color = doc.note and colors.error or (selected and colors.selected_label or colors.label)
        canvas:draw_text(viewer.label_font, label, x + PADDING, M.TOP + (height - M.TOP - label_height) // 2, color)
      end
    end,
    event = function(_, event)
      if event.kind == "pointer_enter" or event.kind == "pointer_move" then
        hover(tab_at(event.x, event.y))
      elseif event.kind == "pointer_leave" then
        hover(nil)
      elseif event.kind == "pointer_down" then
        local index = tab_at(event.x, event.y)
        if event.button == "left" then
          -- The press took the focus from the text (the strip takes none); it goes back once it is handled.
          if index then viewer:select(index) end
          viewer:focus_text()
          return { handled = true }
        elseif event.button == "middle" and index then
          viewer:close_tab(index)
          return { handled = true }
        end
      end
      return nil
    end,
  }
end

return M
