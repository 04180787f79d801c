#pragma once

#include "ui/quitquestion.h"

#include <functional>

// Answers the window's quit question at once, and counts the times asked.
class AnsweredQuitQuestion : public QuitQuestion {
public:
    explicit AnsweredQuitQuestion(bool quit, std::function<void()> onAsked = {})
        : answer(quit), m_onAsked(std::move(onAsked)) {}
    bool quitAnyway(QWidget *) override
    {
        ++asked;
        if (m_onAsked)
            m_onAsked();
        return answer;
    }
    bool answer;
    int asked = 0;

private:
    std::function<void()> m_onAsked;
};
